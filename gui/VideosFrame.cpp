#include "VideosFrame.h"
#include "ui_VideosFrame.h"

#include "CatalogueStore.h"
#include "FFMpegConverter.h"
#include "Formatting.h"
#include "Saturation.h"
#include "SearchBox.h"
#include "UserPrompts.h"
#include "VideoFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QProgressDialog>
#include <QSettings>
#include <QShortcut>
#include <QtConcurrent>

namespace {

const QString lastConvertDirKey = QStringLiteral("videos/last_convert_dir");

QString playCopyOf(const QString& file)
{
    return FFMpegConverter::outputFileName(QFileInfo(file).path(), file,
                                           FFMpegConverter::playPresetName);
}

// The page's words for failures of its store.
CatalogueFailureHandler storeFailureBox(VideosFrame* page)
{
    return catalogueFailureBox(page, {VideosFrame::tr("Database Error"),
                                      VideosFrame::tr("Error opening videos database [%1]"),
                                      VideosFrame::tr("Error creating videos database"),
                                      VideosFrame::tr("Error updating videos database")});
}

} // namespace

QString videoInfoText(const MediaInfo& mediaInfo)
{
    // One pass over the four markers: a container name that happens to hold
    // "%2" must not take the duration's place. A file may claim any duration;
    // one beyond an int of seconds shows as the limit.
    return QCoreApplication::translate("VideosFrame", "%1\nDuration: %2\nFile size: %3\nBit rate: %4/s")
        .arg(mediaInfo.formatLongName, formatDuration(saturatedInt(mediaInfo.duration)),
             formatSize(mediaInfo.size, false), formatSize(mediaInfo.bitRate, true));
}

ThumbnailGenerationContext generateVideoThumbnail(const QString& fileName, QTableWidgetItem* item)
{
    VideoFile video(fileName);
    return {video.makeThumbnail(thumbnailWidth, thumbnailHeight), item};
}

VideosFrame::VideosFrame(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::VideosFrame)
{
    ui->setupUi(this);

    ui->videosTableWidget->horizontalHeader()->resizeSection(0, 300);
    ui->videosTableWidget->setItemDelegate(new CatalogueItemDelegate(ui->videosTableWidget));

    auto* selectAll = new QShortcut(QKeySequence(QStringLiteral("Ctrl+A")), this);
    selectAll->setContext(Qt::WindowShortcut);
    connect(selectAll, &QShortcut::activated, ui->videosTableWidget, &QTableWidget::selectAll);
    connect(ui->videosTableWidget, &QTableWidget::cellDoubleClicked, this, &VideosFrame::on_doubleClick);

    ui->searchComboBox->installEventFilter(this);
    ui->searchComboBox->setFocusPolicy(Qt::ClickFocus);
    refreshSearchChoices();

    ui->videoFormatComboBox->addItems(FFMpegConverter::presetNames());
    const int playPreset = ui->videoFormatComboBox->findText(FFMpegConverter::playPresetName,
                                                             Qt::MatchContains);
    ui->videoFormatComboBox->setCurrentIndex(playPreset);
    // Convert never gets a menu; the style keeps the tool button from drawing
    // an arrow for one.
    ui->convertButton->setStyleSheet(
        QStringLiteral("QToolButton::menu-indicator { image: url(inexistant.png); }"));

    database = openCatalogue(videosCatalogue, storeFailureBox(this));
    startCatalogueLoader(videosCatalogue, database, this,
                         [this](const QString& file, const QString& origin, const QString& info) {
                             appendVideoFromFile(file, origin, info);
                         });
}

VideosFrame::~VideosFrame()
{
    delete ui;
}

bool VideosFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->searchComboBox && SearchBox::handleEvent(ui->searchComboBox, event))
        showAllRows();
    return false;
}

void VideosFrame::refreshSearchChoices()
{
    SearchBox::refreshChoices(ui->searchComboBox, ui->videosTableWidget, 2);
}

void VideosFrame::filterRows(const QString& text)
{
    SearchBox::filterRows(ui->videosTableWidget, text);
}

void VideosFrame::showAllRows()
{
    SearchBox::showAllRows(ui->videosTableWidget);
}

void VideosFrame::on_searchComboBox_textActivated(QString arg1)
{
    filterRows(arg1.trimmed());
}

QStringList VideosFrame::selectedFiles() const
{
    return ::selectedFiles(ui->videosTableWidget);
}

void VideosFrame::appendVideoFromFile(QString fileName, QString origin, QString videoInfo)
{
    appendVideo(fileName, origin, videoInfo, false);
}

void VideosFrame::appendVideoFromFile(QString fileName, QString origin)
{
    appendVideo(fileName, origin, QString(), true);
}

void VideosFrame::appendVideo(const QString& fileName, const QString& origin, QString videoInfo,
                              bool isNew)
{
    QTableWidget* table = ui->videosTableWidget;
    QTableWidgetItem* cell = appendCatalogueRow(table, fileName, origin, tr("Loading..."));

    if (videoInfo.isEmpty()) {
        MediaInfo mediaInfo;
        if (VideoFile(fileName).readMediaInfo(mediaInfo))
            videoInfo = videoInfoText(mediaInfo);
    }
    setCatalogueInfo(table, cell->row(), videoInfo);

    if (isNew)
        insertIntoCatalogue(videosCatalogue, database, storeFailureBox(this), fileName, origin, videoInfo);

    thumbnails.watch(this, table, cell, QtConcurrent::run(generateVideoThumbnail, fileName, cell));
}

void VideosFrame::thumbGenerated()
{
    thumbnails.apply(sender(), ui->videosTableWidget);
}

void VideosFrame::on_saveButton_clicked()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        showWarningMessage(this, tr("Save Original"), tr("Please select at least one video to save."));
        return;
    }
    const QString folder = askFolder(this, tr("Save"), QStringLiteral("videos/last_save_dir"));
    if (folder.isEmpty())
        return;
    if (!copyFilesInto(files, folder))
        showCriticalMessage(this, tr("Save Error"),
                            tr("One or more files couldn't be saved. You might want to try again on a "
                               "different folder."));
}

void VideosFrame::on_deleteButton_clicked()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        showWarningMessage(this, tr("Delete"), tr("Please select at least one video to delete."));
        return;
    }
    const QString question = tr("Are you sure you want to delete %1 selected video files?").arg(files.size());
    if (askYesNo(this, tr("Delete"), question) == QMessageBox::No)
        return;

    for (const QString& file : files) {
        removeCatalogueFiles(file, {thumbnailPath(file), playCopyOf(file)});
        deleteFromCatalogue(videosCatalogue, database, file);
    }
    removeSelectedRows(ui->videosTableWidget);
}

bool VideosFrame::refuseWhileConverting(const QString& command)
{
    if (!converting)
        return false;
    // The page follows one run at a time: a second converter would share the
    // progress dialog with the first, whose end would delete it.
    showWarningMessage(this, command, tr("Please wait until the current conversion has ended."));
    return true;
}

void VideosFrame::startConversion(FFMpegConverter* newConverter, const char* finishedSlot)
{
    converter = newConverter;
    converting = true;
    connect(converter, SIGNAL(conversionStarted(int,int)), this, SLOT(conversionStarted(int,int)));
    connect(converter, SIGNAL(conversionProgress(int,int)), this, SLOT(conversionProgress(int,int)));
    connect(converter, SIGNAL(conversionFinished(int)), this, finishedSlot);
    // May report the end before it returns.
    converter->start();
}

void VideosFrame::on_playButton_clicked()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        showWarningMessage(this, tr("Play"), tr("Please select a video to play."));
        return;
    }
    if (files.size() > 1) {
        showWarningMessage(this, tr("Play"), tr("You can only play one video at a time."));
        return;
    }
    if (refuseWhileConverting(tr("Play")))
        return;

    const QString video = files.first();
    playFile = playCopyOf(video);
    if (QFileInfo::exists(playFile)) {
        QMetaObject::invokeMethod(this, "conversionFinishedToPlay", Qt::AutoConnection, Q_ARG(int, 0));
        return;
    }
    startConversion(new FFMpegConverter(QStringList{video}, QFileInfo(video).path(),
                                        FFMpegConverter::playPresetName, this),
                    SLOT(conversionFinishedToPlay(int)));
}

void VideosFrame::on_doubleClick(int row, int column)
{
    Q_UNUSED(column);
    ui->videosTableWidget->selectRow(row);
    on_playButton_clicked();
}

void VideosFrame::on_convertButton_clicked()
{
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        showWarningMessage(this, tr("Convert"), tr("Please select at least one video to convert."));
        return;
    }
    if (refuseWhileConverting(tr("Convert")))
        return;

    const QString folder = askFolder(this, tr("Convert"), lastConvertDirKey);
    if (folder.isEmpty())
        return;
    startConversion(new FFMpegConverter(files, folder, ui->videoFormatComboBox->currentText(), this),
                    SLOT(conversionFinished(int)));
}

void VideosFrame::conversionStarted(int currentFile, int totalFiles)
{
    if (!progressDialog) {
        progressDialog = new QProgressDialog(this, Qt::WindowFlags());
        progressDialog->setWindowTitle(QStringLiteral("Convert"));
        progressDialog->setWindowModality(Qt::WindowModal);
        connect(progressDialog, &QProgressDialog::canceled, this, &VideosFrame::conversionCanceled);
    }
    progressDialog->setMinimumDuration(0);
    // Maximum 0 shows a busy bar until the file's first progress.
    progressDialog->setMinimum(0);
    progressDialog->setMaximum(0);
    progressDialog->setLabelText(tr("Converting videos (%1 of %2) ...").arg(currentFile).arg(totalFiles));
    progressDialog->show();
}

void VideosFrame::conversionProgress(int current, int total)
{
    if (!progressDialog)
        return;
    progressDialog->setMaximum(total);
    // At the maximum the dialog resets and hides itself until the next file.
    progressDialog->setValue(current);
}

void VideosFrame::endRun()
{
    converting = false;
    if (progressDialog) {
        progressDialog->deleteLater();
        progressDialog = nullptr;
    }
}

void VideosFrame::conversionFinished(int error)
{
    endRun();
    if (error != 0)
        showCriticalMessage(this, tr("Convert Error"), tr("Unable to convert video."));
    openUrlOnDesktop(localFileUrl(QSettings().value(lastConvertDirKey).toString()));
}

void VideosFrame::conversionFinishedToPlay(int error)
{
    endRun();
    if (error != 0)
        showCriticalMessage(this, tr("Convert Error"), tr("Unable to convert video to play."));
    openUrlOnDesktop(localFileUrl(playFile));
}

void VideosFrame::conversionCanceled()
{
    // The converter kills its program, removes the partial output and
    // reports nothing more; the dialog closes itself and is kept for the
    // next run.
    if (converter)
        converter->cancel();
    converting = false;
}
