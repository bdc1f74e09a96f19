#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "CaptureDevices.h"
#include "CaptureEngine.h"
#include "ImagesFrame.h"
#include "PreferencesDialog.h"
#include "TransfersFrame.h"
#include "UserPrompts.h"
#include "VideoFile.h"
#include "VideosFrame.h"
#include "WelcomeFrame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QHeaderView>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMenuBar>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QThreadPool>
#include <QTimer>

#include <utility>

namespace {

enum SideRow { WelcomeRow, TransfersRow, VideosRow, ImagesRow };

// Of Quit's bound, the part after its writing is given up: for the failures
// to reach the window and the period's run to end. A writer gives up by
// itself earlier once it has written nothing for 10 s.
constexpr int quitGiveUpMarginMs = 2000;
// How often Quit looks whether the periods have ended, whatever else the
// window's thread has to do.
constexpr int quitPollMs = 20;

// The maker's pages live on the host the update check asks.
QUrl makerPage(const QString& path, const QString& query)
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(UpdateChecker::defaultAddress().host());
    url.setPath(path);
    url.setQuery(query);
    return url;
}

// `from` tells the maker where the visitor comes from.
QUrl supportPage(const QString& from)
{
    return makerPage(QStringLiteral("/support/"), QStringLiteral("v=1.1&os=win&from=") + from);
}

QUrl updatePage()
{
    return makerPage(QStringLiteral("/update/"), QStringLiteral("v=1.1&os=win&from=app_update"));
}

QString link(const QUrl& url, const QString& text)
{
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(url.toString(), text);
}

} // namespace

MainWindow::MainWindow(QWidget* parent, const QUrl& updateCheckAddress)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    // A window of a new run may run the media programs and show the boxes
    // that an earlier Quit refused.
    refuseExternalPrograms(false);
    refuseBoxes(false);

    mainMenuBar = new QMenuBar(nullptr);
    QMenu* fileMenu = mainMenuBar->addMenu(tr("&File"));
    fileMenu->addAction(tr("Quit"), this, &MainWindow::quit);
    QMenu* helpMenu = mainMenuBar->addMenu(tr("&Help"));
    helpMenu->addAction(tr("Support"), this, &MainWindow::on_helpMenu_support);
    helpMenu->addSeparator();
    helpMenu->addAction(tr("About Vendrax"), this, &MainWindow::on_helpMenu_about);
    setMenuBar(mainMenuBar);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }

    QHeaderView* sideHeader = ui->sideTableWidget->horizontalHeader();
    sideHeader->setSectionResizeMode(0, QHeaderView::Stretch);
    sideHeader->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    sideHeader->setMinimumSectionSize(40);

    addSideTableRow(QStringLiteral(":/images/home.png"), tr("Welcome"));
    addSideTableRow(QStringLiteral(":/images/transfers.png"), tr("Transfering"));
    addSideTableRow(QStringLiteral(":/images/videos.png"), tr("Videos"));
    addSideTableRow(QStringLiteral(":/images/images.png"), tr("Images"));
    ui->sideTableWidget->setCurrentCell(WelcomeRow, 0);

    ui->feedbackLabel->setText(link(supportPage(QStringLiteral("app_feedback")), ui->feedbackLabel->text()));

    welcomeFrame = new WelcomeFrame(this);
    ui->centerStackedWidget->insertWidget(WelcomeRow, welcomeFrame);
    transfersFrame = new TransfersFrame(this);
    ui->centerStackedWidget->insertWidget(TransfersRow, transfersFrame);
    videosFrame = new VideosFrame(this);
    ui->centerStackedWidget->insertWidget(VideosRow, videosFrame);
    imagesFrame = new ImagesFrame(this);
    ui->centerStackedWidget->insertWidget(ImagesRow, imagesFrame);

    updateChecker = new UpdateChecker(nullptr, updateCheckAddress);
    connect(updateChecker, &UpdateChecker::checkResult, this, &MainWindow::updateCheckResult);
    connect(updateChecker, &UpdateChecker::checkError, this, &MainWindow::updateCheckError);
    updateChecker->check();

    // A finished file reaches its catalogue before its badge is counted.
    connect(transfersFrame, SIGNAL(downloadedVideo(QString,QString)),
            videosFrame, SLOT(appendVideoFromFile(QString,QString)));
    connect(transfersFrame, SIGNAL(downloadedImage(QString,QString)),
            imagesFrame, SLOT(appendImageFromFile(QString,QString)));
    connect(welcomeFrame, &WelcomeFrame::startMonitoring, this, &MainWindow::startMonitoring);
    connect(welcomeFrame, &WelcomeFrame::stopMonitoring, this, &MainWindow::stopMonitoring);
    connect(transfersFrame, SIGNAL(downloadedVideo(QString,QString)), this, SLOT(notifyNewVideo()));
    connect(transfersFrame, SIGNAL(downloadedImage(QString,QString)), this, SLOT(notifyNewImage()));
}

MainWindow::~MainWindow()
{
    stopMonitoring();
    // The checker is ours until it answers.
    delete updateChecker;
    delete mainMenuBar;
    delete ui;
}

void MainWindow::addSideTableRow(const QString& iconPath, const QString& text)
{
    QTableWidget* table = ui->sideTableWidget;
    const int row = table->rowCount();
    table->insertRow(row);

    // The selected row is drawn white on blue, so its icon is shown inverted.
    const QImage image(iconPath);
    QImage inverted = image;
    inverted.invertPixels(QImage::InvertRgb);
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(image), QIcon::Active, QIcon::Off);
    icon.addPixmap(QPixmap::fromImage(inverted), QIcon::Selected, QIcon::Off);

    table->setItem(row, 0, new QTableWidgetItem(icon, text));
}

void MainWindow::startMonitoring(QString device)
{
    stopMonitoring();

    captureEngine = new CaptureEngine(device, this);
    // The engine reports from its own thread: these reach the GUI queued.
    connect(captureEngine, &CaptureEngine::errorStartingEngine, this, &MainWindow::errorStartingEngine);
    connect(captureEngine, &CaptureEngine::errorStartingEngine, welcomeFrame,
            &WelcomeFrame::errorStartingMonitoring);
    // A stopped period may still report the captures it writes while this
    // one reports: the transfers page tells their rows apart by the period.
    const int period = ++periods;
    TransfersFrame* page = transfersFrame;
    connect(captureEngine, &CaptureEngine::downloadStarted, page,
            [page, period](int id, HttpResource resource, QString file) {
                page->downloadStarted(id, resource, file, period);
            });
    connect(captureEngine, &CaptureEngine::downloadProgress, page,
            [page, period](int id, double total, double current) {
                page->downloadProgress(id, total, current, period);
            });
    connect(captureEngine, &CaptureEngine::downloadError, page,
            [page, period](int id, int error, QString message) { page->downloadError(id, error, message, period); });
    connect(captureEngine, &CaptureEngine::downloadFinished, page,
            [page, period](int id, QString file) { page->downloadFinished(id, file, period); });
    connect(captureEngine, &CaptureEngine::captureStarted, page,
            [page, period](int id, HttpResource resource, QString file) {
                page->captureStarted(id, resource, file, period);
            });
    connect(captureEngine, &CaptureEngine::captureProgress, page,
            [page, period](int id, double total, double current) {
                page->captureProgress(id, total, current, period);
            });
    connect(captureEngine, &CaptureEngine::captureError, page,
            [page, period](int id, int error, QString message) { page->captureError(id, error, message, period); });
    connect(captureEngine, &CaptureEngine::captureFinished, page,
            [page, period](int id, QString file) { page->captureFinished(id, file, period); });
    connect(captureEngine, &CaptureEngine::captureStreamClosed, page,
            [page, period](int id) { page->captureStreamClosed(id, period); });
    captureEngine->start(QThread::InheritPriority);
}

void MainWindow::stopMonitoring()
{
    if (!captureEngine)
        return;
    // Half a second at most: a capture thread that still writes the captures
    // complete at the stop, or that storage holds, is left to end on its own;
    // the captures it finishes still reach the transfers page.
    CaptureEngine::stopAndDestroy(std::exchange(captureEngine, nullptr));
}

void MainWindow::errorStartingEngine()
{
    // Without the rights to capture every interface fails alike, and the
    // interface is not to blame. The capture thread was started from this
    // thread and had its rights.
    const QString text = CaptureDevices::hasCaptureRights()
        ? tr("Unable to start monitoring. Please make sure that you selected either "
             "\"Auto\" or a valid interface.")
        : tr("Unable to start monitoring: capturing packets needs the rights to capture. Run Vendrax "
             "as root, or give the program the capture capabilities:\n\n"
             "sudo setcap cap_net_raw,cap_net_admin=eip %1")
              .arg(QCoreApplication::applicationFilePath());
    showCriticalMessage(this, tr("Start Monitoring"), text);
    stopMonitoring();
}

void MainWindow::showPreferencesDialog()
{
    PreferencesDialog dialog;
    dialog.exec();
}

void MainWindow::on_sideTableWidget_currentCellChanged(int currentRow, int currentColumn,
                                                       int previousRow, int previousColumn)
{
    Q_UNUSED(currentColumn);
    Q_UNUSED(previousRow);
    Q_UNUSED(previousColumn);
    ui->centerStackedWidget->setCurrentIndex(currentRow);
    ui->sideTableWidget->removeCellWidget(currentRow, 1);
    if (currentRow == VideosRow)
        newVideosCount = 0;
    if (currentRow == ImagesRow)
        newImagesCount = 0;
}

void MainWindow::notifyNewVideo()
{
    updateBadge(VideosRow, &newVideosCount);
}

void MainWindow::notifyNewImage()
{
    updateBadge(ImagesRow, &newImagesCount);
}

void MainWindow::updateBadge(int row, int* counter)
{
    QTableWidget* table = ui->sideTableWidget;
    if (table->currentRow() == row)
        return;
    ++*counter;

    // Numbered badges exist for 1 to 30; higher counts share a general one.
    QPixmap pixmap(QStringLiteral(":/images/red%1.png").arg(*counter));
    if (pixmap.isNull())
        pixmap = QPixmap(QStringLiteral(":/images/red_n.png"));
    auto* badge = new QLabel(table);
    badge->setAlignment(Qt::AlignLeft);
    badge->setPixmap(pixmap);
    table->setCellWidget(row, 1, badge);
}

void MainWindow::quit()
{
    if (quitting)
        return;
    quitting = true;
    quitLimit = QDeadlineTimer(quitLimitMs, Qt::PreciseTimer);
    hide();
    // A failure that reaches the window from here on (a catalogue that
    // refuses a row, a start error still queued) would open a box that
    // waits for a click nobody expects: it goes to standard error instead.
    refuseBoxes(true);

    // No new video waits for its probe on this thread, and no thumbnail job
    // or program outlives the window: leaving main waits for the pool.
    refuseExternalPrograms(true);
    QThreadPool::globalInstance()->clear();

    // Periods left to end on their own by an earlier Stop are waited for as
    // well as this one.
    stopMonitoring();
    QDeadlineTimer writingLimit;
    writingLimit.setDeadline(quitLimit.deadline() - quitGiveUpMarginMs, Qt::PreciseTimer);
    if (!waitForPeriods(writingLimit)) {
        CaptureEngine::giveUpWriting();
        waitForPeriods(quitLimit);
    }
    // A run's last reports were posted before its thread ended.
    QCoreApplication::sendPostedEvents();

    if (QGuiApplication::quitOnLastWindowClosed())
        QCoreApplication::quit();
}

bool MainWindow::waitForPeriods(const QDeadlineTimer& limit)
{
    // Polled on a timer: a period's end comes from several threads, and the
    // bound holds by the clock whatever a handled event takes.
    QTimer poll;
    poll.start(quitPollMs);
    bool ended;
    while (!(ended = CaptureEngine::periodsEnded()) && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return ended;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    quit();
    QMainWindow::closeEvent(event);
}

void MainWindow::on_helpMenu_support()
{
    openUrlOnDesktop(supportPage(QStringLiteral("app")));
}

void MainWindow::on_helpMenu_about()
{
    showAboutMessage(this, tr("About Vendrax"),
                     QStringLiteral("<center><img src=':/images/vendrax.png' /></center><br/>"
                                    "<strong>Vendrax 1.1</strong><br/>")
                         + QStringLiteral("<hr/>"));
}

void MainWindow::updateCheckResult(bool isUpdated)
{
    disposeOfUpdateChecker();
    if (isUpdated)
        return;
    static const QString text = tr("A new version of Vendrax is available!");
    ui->updateLabel->setText(link(updatePage(), text));
}

void MainWindow::updateCheckError()
{
    disposeOfUpdateChecker();
}

void MainWindow::disposeOfUpdateChecker()
{
    if (QObject* checker = sender()) {
        checker->deleteLater();
        if (checker == updateChecker)
            updateChecker = nullptr;
    }
}
