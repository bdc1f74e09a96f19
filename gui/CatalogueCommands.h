#pragma once

#include <QFuture>
#include <QHash>
#include <QImage>
#include <QPersistentModelIndex>
#include <QString>
#include <QStyledItemDelegate>
#include <QStringList>
#include <QUrl>

#include "CatalogueStore.h"

class QObject;
class QTableWidget;
class QTableWidgetItem;
class QWidget;

// What the videos and images pages share: the rows of a catalogue table, the
// thumbnail hand-over from the thread pool, and the file work behind Save and
// Delete. Everything here runs on the GUI thread unless said otherwise.

// The bound of every thumbnail; the tables draw their icons at this size.
inline constexpr int thumbnailWidth = 267;
inline constexpr int thumbnailHeight = 150;

// The result of a thumbnail job. `image` is null when no thumbnail could be
// made. `item` names the row's first cell the job was started for; the job
// never touches it, and the page does not trust it either (see ThumbnailJobs).
struct ThumbnailGenerationContext {
    QImage image;
    QTableWidgetItem* item = nullptr;
};

// The item delegate of both catalogue tables: paints every cell as the
// default delegate does, but without the current cell's focus frame. The
// style draws that frame around the cell's text, which is empty once the
// thumbnail is in, so it stood as a pale empty box beside the thumbnail of
// the current row. The selection still shows which rows the commands take.
class CatalogueItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

// The texts in which a page reports its store's failures, translated in the
// page's own context.
struct CatalogueFailureTexts {
    QString title;   // of every box
    QString open;    // carries %1 for the driver's error text
    QString create;
    QString update;
};

// The failure handler of a page's store: each failure as a critical box with
// one Ok button on `page`.
CatalogueFailureHandler catalogueFailureBox(QWidget* page, const CatalogueFailureTexts& texts);

// Appends a placeholder row at the end of a catalogue table: cell 0 shows the
// busy icon and `loadingText` and carries the file path as Qt::UserRole,
// cell 1 the origin. Cell 2 (the info) is set later with setCatalogueInfo,
// because computing it may block. Returns cell 0.
QTableWidgetItem* appendCatalogueRow(QTableWidget* table, const QString& file,
                                     const QString& origin, const QString& loadingText);
void setCatalogueInfo(QTableWidget* table, int row, const QString& info);

// The thumbnail jobs of one page. A row may be deleted while its job still
// runs, and a deleted cell's address may be reused by a later row, so the
// page finds the row again through a persistent model index, which the
// table invalidates when the row goes.
class ThumbnailJobs {
public:
    // Watches `job` for `cell`: the watcher is a child of `page`, and its
    // finished() reaches `page`'s slot thumbGenerated().
    void watch(QObject* page, QTableWidget* table, QTableWidgetItem* cell,
               const QFuture<ThumbnailGenerationContext>& job);

    // Called by thumbGenerated() with the watcher that sent finished():
    // shows the thumbnail in its row when the row still exists (a null image
    // leaves the cell blank) and disposes of the watcher.
    void apply(QObject* finishedWatcher, QTableWidget* table);

private:
    QHash<QObject*, QPersistentModelIndex> cells_;
};

// The paths of the selected rows, read from each row's first cell, in the
// order in which the table lists its selected items.
QStringList selectedFiles(const QTableWidget* table);

// Removes every row that holds a selected item, each once.
void removeSelectedRows(QTableWidget* table);

// Asks for a folder with `caption`, starting in the folder stored under
// `settingsKey` (the home folder when there is none), and stores the answer
// under that key. Returns the empty string, and stores nothing, when the user
// cancels.
QString askFolder(QWidget* parent, const QString& caption, const QString& settingsKey);

// Copies each file into `folder` under its own file name, replacing a file of
// that name. Returns false when at least one copy failed; the others are
// made all the same. A file that already lies in `folder` is left alone and
// counts as saved (removing the destination first would delete it).
bool copyFilesInto(const QStringList& files, const QString& folder);

// Removes a catalogue entry's file, then each of `companions` (thumbnail,
// play copy), then the folder that held the file when nothing is left in it.
// The folder above is never touched. Failures are silent.
void removeCatalogueFiles(const QString& file, const QStringList& companions = {});

// The "file:" URL under which the desktop opens a local file or folder.
QUrl localFileUrl(const QString& path);
