#pragma once

#include "CatalogueCommands.h"

#include <QPointer>
#include <QSqlDatabase>
#include <QStringList>
#include <QWidget>

class FFMpegConverter;
class QProgressDialog;

namespace Ui {
class VideosFrame;
}

// The videos catalogue page: one row per kept video with its thumbnail, its
// origin and the probe's description, the Play, Convert, Save Original and
// Delete commands, and the search box. New videos arrive from the transfers
// page through the two-argument append slot and are stored; stored rows come
// back at start through the three-argument slot and are not stored again.
//
// Play and Convert run one conversion at a time: while one runs (its
// progress dialog may have closed itself between two files), both commands
// are refused with a warning.
class VideosFrame : public QWidget {
    Q_OBJECT

public:
    explicit VideosFrame(QWidget* parent = nullptr);
    ~VideosFrame() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    // The paths of the selected rows, one per row.
    QStringList selectedFiles() const;

public slots:
    // A row read back from the store.
    void appendVideoFromFile(QString fileName, QString origin, QString videoInfo);
    // A new file: probed (blocking, up to the probe's time limit) and stored,
    // with an empty info when the probe fails.
    void appendVideoFromFile(QString fileName, QString origin);

private slots:
    // Qt 6 names the combo's activated(QString) textActivated.
    void on_searchComboBox_textActivated(QString arg1);
    void thumbGenerated();
    void on_saveButton_clicked();
    void on_convertButton_clicked();
    void conversionStarted(int currentFile, int totalFiles);
    void conversionProgress(int current, int total);
    void conversionFinished(int error);
    void conversionFinishedToPlay(int error);
    void conversionCanceled();
    void on_deleteButton_clicked();
    void on_playButton_clicked();
    void on_doubleClick(int row, int column);

private:
    void appendVideo(const QString& fileName, const QString& origin, QString videoInfo, bool isNew);
    void refreshSearchChoices();
    void filterRows(const QString& text);
    void showAllRows();
    bool refuseWhileConverting(const QString& command);
    void startConversion(FFMpegConverter* newConverter, const char* finishedSlot);
    void endRun();

    Ui::VideosFrame* ui;
    QSqlDatabase database;
    FFMpegConverter* converter = nullptr;
    QPointer<QProgressDialog> progressDialog;
    QString playFile;
    bool converting = false;
    ThumbnailJobs thumbnails;
};

// The info text of a video row: the container's description, then its
// duration, size and bit rate on three more lines.
struct MediaInfo;
QString videoInfoText(const MediaInfo& mediaInfo);

// The thumbnail job of a video row, run on Qt's global thread pool: a frame
// of the video fitting 267 x 150 (made once and kept beside the video), or a
// null image. Never touches `item`.
ThumbnailGenerationContext generateVideoThumbnail(const QString& fileName, QTableWidgetItem* item);
