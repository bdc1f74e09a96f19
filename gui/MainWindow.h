#pragma once

#include <QDeadlineTimer>
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

    // Quit's bound, from the call: by then the process has ended (see quit()).
    static constexpr int quitLimitMs = 30000;
    // When the bound of the Quit under way runs out; until then the owner of
    // the window may wait for what Quit ended but could not join.
    QDeadlineTimer quitDeadline() const { return quitLimit; }

public slots:
    // File > Quit, and the window's own close button: the window goes at
    // once; the queued thumbnail jobs are dropped, the probes and thumbnail
    // programs that run are killed, and monitoring stops. A stopped period
    // that still writes the captures complete at its stop keeps the program
    // while storage makes progress, for quitLimitMs less a margin at most;
    // then what it has not written is given up (nothing of it stays on disk)
    // and each such capture ends failed. Meanwhile the events of the window's
    // thread are handled, so the reports reach the transfers page and each
    // kept file its catalogue. Then the application ends, when it quits on
    // its last window's close (the program does; tests that open many
    // windows in one application do not). A failure that would open a box
    // meanwhile writes one line to standard error instead (refuseBoxes). A
    // second call returns at once.
    void quit();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void startMonitoring(QString device);
    void stopMonitoring();
    void errorStartingEngine();
    void showPreferencesDialog();
    void on_sideTableWidget_currentCellChanged(int currentRow, int currentColumn, int previousRow,
                                               int previousColumn);
    void notifyNewVideo();
    void notifyNewImage();
    void on_helpMenu_support();
    void on_helpMenu_about();
    void updateCheckResult(bool isUpdated);
    void updateCheckError();

private:
    void addSideTableRow(const QString& iconPath, const QString& text);
    void updateBadge(int row, int* counter);
    void disposeOfUpdateChecker();
    // Handles the window thread's events until no period of monitoring runs
    // or `limit` runs out; true when none runs.
    bool waitForPeriods(const QDeadlineTimer& limit);

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
    bool quitting = false;
    QDeadlineTimer quitLimit;
};
