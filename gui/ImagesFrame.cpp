#include "ImagesFrame.h"
#include "ui_ImagesFrame.h"

#include "CatalogueStore.h"
#include "SearchBox.h"
#include "Thumbnail.h"
#include "UserPrompts.h"

#include <QHeaderView>
#include <QImage>
#include <QShortcut>
#include <QtConcurrent>

namespace {

// The page's words for failures of its store.
CatalogueFailureHandler storeFailureBox(ImagesFrame* page)
{
    return catalogueFailureBox(page, {ImagesFrame::tr("Database Error"),
                                      ImagesFrame::tr("Error opening images database [%1]"),
                                      ImagesFrame::tr("Error creating images database"),
                                      ImagesFrame::tr("Error updating images database")});
}

} // namespace

ThumbnailGenerationContext generateImageThumbnail(const QString& fileName, QTableWidgetItem* item)
{
    QImage image(fileName);
    if (!image.isNull())
        image = fitThumbnail(image, thumbnailWidth, thumbnailHeight);
    return {image, item};
}

ImagesFrame::ImagesFrame(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::ImagesFrame)
{
    ui->setupUi(this);

    // The size filter is part of the form but never offered.
    ui->sizeLabel->hide();
    ui->sizeComboBox->hide();

    ui->imagesTableWidget->horizontalHeader()->resizeSection(0, 300);
    ui->imagesTableWidget->setItemDelegate(new CatalogueItemDelegate(ui->imagesTableWidget));

    auto* selectAll = new QShortcut(QKeySequence(QStringLiteral("Ctrl+A")), this);
    selectAll->setContext(Qt::WindowShortcut);
    connect(selectAll, &QShortcut::activated, ui->imagesTableWidget, &QTableWidget::selectAll);
    connect(ui->imagesTableWidget, &QTableWidget::cellDoubleClicked, this, &ImagesFrame::on_doubleClick);

    ui->searchComboBox->installEventFilter(this);
    ui->searchComboBox->setFocusPolicy(Qt::ClickFocus);
    refreshSearchChoices();

    database = openCatalogue(imagesCatalogue, storeFailureBox(this));
    startCatalogueLoader(imagesCatalogue, database, this,
                         [this](const QString& file, const QString& origin, const QString& info) {
                             appendImageFromFile(file, origin, info);
                         });
}

ImagesFrame::~ImagesFrame()
{
    delete ui;
}

bool ImagesFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->searchComboBox && SearchBox::handleEvent(ui->searchComboBox, event))
        showAllRows();
    return false;
}

void ImagesFrame::refreshSearchChoices()
{
    SearchBox::refreshChoices(ui->searchComboBox, ui->imagesTableWidget, 2);
}

void ImagesFrame::filterRows(const QString& text)
{
    SearchBox::filterRows(ui->imagesTableWidget, text);
}

void ImagesFrame::showAllRows()
{
    SearchBox::showAllRows(ui->imagesTableWidget);
}

void ImagesFrame::on_searchComboBox_textActivated(QString arg1)
{
    filterRows(arg1.trimmed());
}

QStringList ImagesFrame::selectedFiles() const
{
    return ::selectedFiles(ui->imagesTableWidget);
}

void ImagesFrame::appendImageFromFile(QString fileName, QString origin, QString imageInfo)
{
    appendImage(fileName, origin, imageInfo, false);
}

void ImagesFrame::appendImageFromFile(QString fileName, QString origin)
{
    appendImage(fileName, origin, QString(), true);
}

void ImagesFrame::appendImage(const QString& fileName, const QString& origin, QString imageInfo,
                              bool isNew)
{
    QTableWidget* table = ui->imagesTableWidget;
    QTableWidgetItem* cell = appendCatalogueRow(table, fileName, origin, tr("Loading..."));

    bool loaded = false;
    if (imageInfo.isEmpty()) {
        const QImage image(fileName);
        loaded = !image.isNull();
        if (loaded)
            imageInfo = tr("Size: %1x%2").arg(image.width()).arg(image.height());
    }
    setCatalogueInfo(table, cell->row(), imageInfo);

    if (isNew && loaded)
        insertIntoCatalogue(imagesCatalogue, database, storeFailureBox(this), fileName, origin, imageInfo);

    thumbnails.watch(this, table, cell, QtConcurrent::run(generateImageThumbnail, fileName, cell));
}

void ImagesFrame::thumbGenerated()
{
    thumbnails.apply(sender(), ui->imagesTableWidget);
}

void ImagesFrame::on_openButton_clicked()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        showWarningMessage(this, tr("Open"), tr("Please select an image to open."));
        return;
    }
    if (files.size() > 1) {
        showWarningMessage(this, tr("Open"), tr("You can only open one image at a time."));
        return;
    }
    openUrlOnDesktop(localFileUrl(files.first()));
}

void ImagesFrame::on_doubleClick(int row, int column)
{
    Q_UNUSED(column);
    ui->imagesTableWidget->selectRow(row);
    on_openButton_clicked();
}

void ImagesFrame::on_saveButton_clicked()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        showWarningMessage(this, tr("Save Original"), tr("Please select at least one image to save."));
        return;
    }
    const QString folder = askFolder(this, tr("Save"), QStringLiteral("images/last_save_dir"));
    if (folder.isEmpty())
        return;
    if (!copyFilesInto(files, folder))
        showCriticalMessage(this, tr("Save Error"),
                            tr("One or more files couldn't be saved. You might want to try again on a "
                               "different folder."));
}

void ImagesFrame::on_deleteButton_clicked()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        showWarningMessage(this, tr("Delete"), tr("Please select at least one image to delete."));
        return;
    }
    const QString question = tr("Are you sure you want to delete %1 selected image files?").arg(files.size());
    if (askYesNo(this, tr("Delete"), question) == QMessageBox::No)
        return;

    for (const QString& file : files) {
        removeCatalogueFiles(file);
        deleteFromCatalogue(imagesCatalogue, database, file);
    }
    removeSelectedRows(ui->imagesTableWidget);
}
