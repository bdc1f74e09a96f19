#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QUrl>

#include "UpdateChecker.h"

class CaptureEngine;
class ImagesFrame;
class QMenuBar;
class TransfersFrame;
class VideosFrame;
class WelcomeFrame;

namespace Ui {
class MainWindow;
}

// The application's one window: the side list of the four pages (Welcome,
// Transfering, Videos, Images) with the update notice and the feedback link
// under it, and the pages in a stack. It owns the capture thread of the
// current period of monitoring, wires the pages to each other, and counts the
// videos and images that arrive while their page is not shown in red badges
// beside their rows. GUI thread only.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // `updateCheckAddress` is the page the update check asks; tests point it
    // at a local server.
    explicit MainWindow(QWidget* parent = nullptr,
                        const QUrl& updateCheckAddress = UpdateChecker::defaultAddress());
    ~MainWindow() override;

private slots:
    void startMonitoring(QString device);
    void stopMonitoring();
    void errorStartingEngine();
    void showPreferencesDialog();
    void on_sideTableWidget_currentCellChanged(int currentRow, int currentColumn, int previousRow,
                                               int previousColumn);
    void notifyNewVideo();
    void notifyNewImage();
    void quit();
    void on_helpMenu_support();
    void on_helpMenu_about();
    void updateCheckResult(bool isUpdated);
    void updateCheckError();

private:
    void addSideTableRow(const QString& iconPath, const QString& text);
    void updateBadge(int row, int* counter);
    void disposeOfUpdateChecker();

    Ui::MainWindow* ui;
    QMenuBar* mainMenuBar;
    WelcomeFrame* welcomeFrame;
    TransfersFrame* transfersFrame;
    VideosFrame* videosFrame;
    ImagesFrame* imagesFrame;
    CaptureEngine* captureEngine = nullptr;
    // Periods of monitoring started so far; numbers the current one.
    int periods = 0;
    QPointer<UpdateChecker> updateChecker;
    int newVideosCount = 0;
    int newImagesCount = 0;
};
