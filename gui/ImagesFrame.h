#pragma once

#include "CatalogueCommands.h"

#include <QSqlDatabase>
#include <QStringList>
#include <QWidget>

namespace Ui {
class ImagesFrame;
}

// The images catalogue page: one row per kept image with its thumbnail, its
// origin and its size, the Open, Save Original and Delete commands, and the
// search box. New images arrive from the transfers page through the
// two-argument append slot and are stored; stored rows come back at start
// through the three-argument slot and are not stored again.
class ImagesFrame : public QWidget {
    Q_OBJECT

public:
    explicit ImagesFrame(QWidget* parent = nullptr);
    ~ImagesFrame() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    // The paths of the selected rows, one per row.
    QStringList selectedFiles() const;

public slots:
    // A row read back from the store.
    void appendImageFromFile(QString fileName, QString origin, QString imageInfo);
    // A new file: the info is computed and the row is stored when the file
    // loads as an image.
    void appendImageFromFile(QString fileName, QString origin);

private slots:
    void on_deleteButton_clicked();
    // Qt 6 names the combo's activated(QString) textActivated.
    void on_searchComboBox_textActivated(QString arg1);
    void on_saveButton_clicked();
    void thumbGenerated();
    void on_openButton_clicked();
    void on_doubleClick(int row, int column);

private:
    void appendImage(const QString& fileName, const QString& origin, QString imageInfo, bool isNew);
    void refreshSearchChoices();
    void filterRows(const QString& text);
    void showAllRows();

    Ui::ImagesFrame* ui;
    QSqlDatabase database;
    ThumbnailJobs thumbnails;
};

// The thumbnail job of an image row, run on Qt's global thread pool: the
// image scaled down to fit 267 x 150, or a null image when the file does not
// load. Never touches `item`.
ThumbnailGenerationContext generateImageThumbnail(const QString& fileName, QTableWidgetItem* item);
