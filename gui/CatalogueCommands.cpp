#include "CatalogueCommands.h"

#include "UserPrompts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QIcon>
#include <QPixmap>
#include <QSet>
#include <QSettings>
#include <QTableWidget>

#include <algorithm>

using ThumbnailWatcher = QFutureWatcher<ThumbnailGenerationContext>;

CatalogueFailureHandler catalogueFailureBox(QWidget* page, const CatalogueFailureTexts& texts)
{
    return [page, texts](CatalogueFailure failure, const QString& driverText) {
        switch (failure) {
        case CatalogueFailure::Open:
            showCriticalMessage(page, texts.title, texts.open.arg(driverText));
            break;
        case CatalogueFailure::Create:
            showCriticalMessage(page, texts.title, texts.create);
            break;
        case CatalogueFailure::Update:
            showCriticalMessage(page, texts.title, texts.update);
            break;
        }
    };
}

void CatalogueItemDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const
{
    QStyledItemDelegate::initStyleOption(option, index);
    option->state &= ~QStyle::State_HasFocus;
}

QTableWidgetItem* appendCatalogueRow(QTableWidget* table, const QString& file,
                                     const QString& origin, const QString& loadingText)
{
    const int row = table->rowCount();
    table->insertRow(row);

    auto* cell = new QTableWidgetItem(QIcon(QStringLiteral(":/images/busy.png")), loadingText);
    cell->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    cell->setData(Qt::UserRole, file);
    table->setIconSize(QSize(thumbnailWidth, thumbnailHeight));
    table->setItem(row, 0, cell);

    auto* originCell = new QTableWidgetItem(origin);
    originCell->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    table->setItem(row, 1, originCell);
    return cell;
}

void setCatalogueInfo(QTableWidget* table, int row, const QString& info)
{
    auto* infoCell = new QTableWidgetItem(info);
    infoCell->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    table->setItem(row, 2, infoCell);
}

void ThumbnailJobs::watch(QObject* page, QTableWidget* table, QTableWidgetItem* cell,
                          const QFuture<ThumbnailGenerationContext>& job)
{
    auto* watcher = new ThumbnailWatcher(page);
    cells_.insert(watcher, QPersistentModelIndex(table->indexFromItem(cell)));
    QObject::connect(watcher, SIGNAL(finished()), page, SLOT(thumbGenerated()));
    watcher->setFuture(job);
}

void ThumbnailJobs::apply(QObject* finishedWatcher, QTableWidget* table)
{
    auto* watcher = dynamic_cast<ThumbnailWatcher*>(finishedWatcher);
    if (!watcher)
        return;
    const QPersistentModelIndex where = cells_.take(watcher);
    watcher->deleteLater();
    if (!where.isValid() || watcher->future().resultCount() == 0)
        return; // the row was deleted meanwhile
    QTableWidgetItem* cell = table->itemFromIndex(where);
    if (!cell)
        return;
    const QImage image = watcher->future().result().image;
    cell->setData(Qt::DecorationRole, QIcon(QPixmap::fromImage(image)));
    cell->setData(Qt::DisplayRole, QString());
}

QStringList selectedFiles(const QTableWidget* table)
{
    QStringList files;
    const QList<QTableWidgetItem*> items = table->selectedItems();
    for (const QTableWidgetItem* item : items) {
        if (item->tableWidget() == table && item->column() == 0)
            files.append(item->data(Qt::UserRole).toString());
    }
    return files;
}

void removeSelectedRows(QTableWidget* table)
{
    QSet<int> unique;
    const QList<QTableWidgetItem*> items = table->selectedItems();
    for (const QTableWidgetItem* item : items)
        unique.insert(item->row());
    QList<int> rows(unique.begin(), unique.end());
    // From the highest row down, so that each removal leaves the numbers of
    // the rows still to go unchanged.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : rows)
        table->removeRow(row);
}

QString askFolder(QWidget* parent, const QString& caption, const QString& settingsKey)
{
    QSettings settings;
    QString start = settings.value(settingsKey).toString();
    if (start.isEmpty())
        start = QDir::homePath();
    const QString folder = chooseExistingFolder(parent, caption, start);
    if (!folder.isEmpty())
        settings.setValue(settingsKey, folder);
    return folder;
}

bool copyFilesInto(const QStringList& files, const QString& folder)
{
    bool allCopied = true;
    const QString folderPath = QDir::fromNativeSeparators(QDir(folder).path());
    for (const QString& source : files) {
        const QString destination = folderPath + QLatin1Char('/') + QFileInfo(source).fileName();
        const QString sourcePath = QFileInfo(source).canonicalFilePath();
        if (!sourcePath.isEmpty() && sourcePath == QFileInfo(destination).canonicalFilePath())
            continue; // already there: removing the destination would delete the source
        QFile::remove(destination);
        if (!QFile::copy(source, destination))
            allCopied = false;
    }
    return allCopied;
}

void removeCatalogueFiles(const QString& file, const QStringList& companions)
{
    QFile::remove(file);
    for (const QString& companion : companions)
        QFile::remove(companion);
    // rmdir only succeeds on an empty folder, which is the test we want.
    QDir().rmdir(QFileInfo(file).path());
}

QUrl localFileUrl(const QString& path)
{
    // Gluing "file:///" to a path breaks on names holding '#', '%' or '?',
    // which a URL parser takes as delimiters or escapes, and doubles the
    // leading slash of an absolute Unix path; fromLocalFile encodes them.
    return QUrl::fromLocalFile(QDir::fromNativeSeparators(path));
}
