#include "ApplicationSetup.h"
#include "CaptureEngine.h"
#include "CatalogueStore.h"
#include "MainWindow.h"
#include "SiteFolders.h"
#include "TransfersFrame.h"
#include "VideoFile.h"
#include "WelcomeFrame.h"
#include "WindowTestSupport.h"

#include "testkit/hanging_disk.hpp"
#include "tests/support/http_get.hpp"
#include "tests/support/http_server.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/private_mounts.hpp"

#include <QBuffer>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTableWidget>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <unistd.h>

using namespace window_test;

namespace {

// A GET to the capture's port on loopback on a fresh connection; the body.
std::string fetchOnPort80(const std::string& host, const std::string& path)
{
    return test_support::http_get("127.0.0.1", 80, host, path, "Connection: close\r\n");
}

// libnids follows only connections whose opening it saw, and nothing tells
// when its capture is open: an image is fetched until its capture is reported.
bool waitUntilCapturing(CaptureEngine* engine)
{
    QSignalSpy captured(engine, &CaptureEngine::captureFinished);
    return QTest::qWaitFor([&] {
        fetchOnPort80("warm-up.sitename.test", "/warm-up.gif");
        return captured.wait(200) || !captured.isEmpty();
    }, 30000);
}

int transferRows(MainWindow& window)
{
    auto* transfers = window.findChild<TransfersFrame*>();
    int rows = 0;
    while (transfers->entryAt(rows))
        ++rows;
    return rows;
}

// A PNG of noise (600 x 580: about a mebibyte), kept as it passes and listed.
std::string noisePng(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(27);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, random.generate());
    QByteArray bytes;
    QBuffer buffer(&bytes);
    image.save(&buffer, "PNG", 0);
    return bytes.toStdString();
}

// The program as main runs it, in a process of its own: `mode` "idle",
// "monitoring" (lo, one capture seen), "backlog" (then 30 images fetched) or
// "held" (then, with the capture listed, "ready" on the standard output, and
// a line from the standard input once the test has held a capture's write);
// then "quit" on the standard output and File > Quit.
int runQuittingProgram(QApplication& application, const QString& mode)
{
    QTimer::singleShot(0, &application, [mode] {
        MainWindow* window = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            window = window ? window : qobject_cast<MainWindow*>(widget);
        if (mode != QLatin1String("idle")) {
            emit window->findChild<WelcomeFrame*>()->startMonitoring(QStringLiteral("lo"));
            if (!waitUntilCapturing(window->findChild<CaptureEngine*>()))
                std::_Exit(3);
        }
        for (int image = 0; mode == QLatin1String("backlog") && image < 30; ++image)
            fetchOnPort80("images.sitename.test", "/noise-" + std::to_string(image) + ".png");
        if (mode == QLatin1String("held")) {
            const auto* listed = window->findChild<QTableWidget*>(QStringLiteral("imagesTableWidget"));
            if (!QTest::qWaitFor([&] { return listed->rowCount() > 0; }, 30000))
                std::_Exit(4);
            std::fputs("ready\n", stdout);
            std::fflush(stdout);
            char line[16];
            if (!std::fgets(line, sizeof line, stdin))
                std::_Exit(5);
        }
        std::fputs("quit\n", stdout);
        std::fflush(stdout);
        for (QAction* action : window->menuBar()->actions().first()->menu()->actions())
            if (action->text() == QLatin1String("Quit"))
                action->trigger();
    });
    return runMainWindow(application);
}

// Standard error goes to a file of its own while the object lives.
class StandardErrorCapture {
public:
    StandardErrorCapture()
    {
        if (!file.open())
            return;
        std::fflush(stderr);
        saved = ::dup(STDERR_FILENO);
        ::dup2(file.handle(), STDERR_FILENO);
    }
    ~StandardErrorCapture() { restore(); }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    // What was written so far; standard error is restored.
    QByteArray written()
    {
        restore();
        file.seek(0);
        return file.readAll();
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        saved = -1;
    }

    QTemporaryFile file;
    int saved = -1;
};

// The program has ended: gone, or its main thread has (a zombie, which the
// kernel keeps while a thread of it waits for storage).
bool programEnded(const QProcess& program)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(program.processId()));
    if (program.state() == QProcess::NotRunning || !stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray fields = stat.readAll();
    return fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

// Stop, Start and Quit of the whole window with its real pages and the real
// capture thread. The program runs in network and mount namespaces of its
// own (made in main), so monitoring "lo" sees only this test's traffic and a
// disk that hangs is this test's alone; the live cases skip when those
// namespaces are missing.
class StopAndQuitTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Prompts> prompts;
    QTemporaryDir files;

    static QString today()
    {
        return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/"
            + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    }

    // Today's folder becomes the disk, so that a site's folder is made on it;
    // null, with the reason, where it cannot.
    static std::unique_ptr<test_support::hanging_disk> mountToday(const QTemporaryDir& backing, QString& whyNot)
    {
        std::string reason = test_support::private_mounts_failure();
        auto disk = test_support::private_mounts_ready() && QDir().mkpath(today())
            ? test_support::hanging_disk::mount(backing.path().toStdString(), today().toStdString(), reason)
            : nullptr;
        if (!disk)
            whyNot = QString::fromStdString("needs private mounts and a file system in user space: " + reason);
        return disk;
    }

    static void skipWithoutPrivateNetwork()
    {
        if (!test_support::private_network_ready())
            QSKIP(qPrintable(QStringLiteral("needs root and a private network namespace: %1")
                                 .arg(QString::fromStdString(test_support::private_network_failure()))));
    }

private slots:
    void initTestCase()
    {
        startWindowTests(files.path());
    }

    void cleanupTestCase() { endWindowTests(); }

    void init()
    {
        removeCatalogueFiles();
        prompts = std::make_unique<Prompts>();
        prompts->install();
    }

    void cleanup() { prompts.reset(); }

    void stopTwiceLive()
    {
        skipWithoutPrivateNetwork();
        MainWindow window(nullptr, refusedAddress());
        auto* welcome = window.findChild<WelcomeFrame*>();
        emit welcome->startMonitoring(QStringLiteral("lo"));
        QPointer<CaptureEngine> engine = window.findChild<CaptureEngine*>();
        QVERIFY(engine);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 30000);

        emit welcome->stopMonitoring();
        QVERIFY(engine.isNull());
        emit welcome->stopMonitoring();
        QVERIFY(window.findChild<CaptureEngine*>() == nullptr);
        QVERIFY(prompts->messages.isEmpty());

        // A new period of monitoring after the stops.
        emit welcome->startMonitoring(QStringLiteral("lo"));
        QVERIFY(window.findChild<CaptureEngine*>());
    }

    void quitDuringMonitoringEndsTheCaptureThreadFirstLive()
    {
        skipWithoutPrivateNetwork();
        auto* window = new MainWindow(nullptr, refusedAddress());
        window->show();
        emit window->findChild<WelcomeFrame*>()->startMonitoring(QStringLiteral("lo"));
        auto* engine = window->findChild<CaptureEngine*>();
        QVERIFY(engine);
        QTRY_VERIFY_WITH_TIMEOUT(engine->isRunning(), 30000);

        QStringList events;
        connect(engine, &QThread::finished, engine, [&] { events.append("thread finished"); }, Qt::DirectConnection);
        connect(engine, &QObject::destroyed, this, [&] { events.append("engine destroyed"); }, Qt::DirectConnection);
        connect(window, &QObject::destroyed, this, [&] { events.append("window destroyed"); }, Qt::DirectConnection);

        QVERIFY(QMetaObject::invokeMethod(window, "quit"));
        QVERIFY(!window->isVisible());
        QVERIFY(QMetaObject::invokeMethod(window, "quit")); // the second call returns at once
        delete window;

        QCOMPARE(events, (QStringList{"thread finished", "engine destroyed", "window destroyed"}));
        QVERIFY(prompts->messages.isEmpty());
    }

    // A failure that reaches the window once Quit has begun opens no box,
    // which would wait for a click nobody expects: it is one line on
    // standard error.
    void failuresDuringQuitGoToStandardError_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("a catalogue refuses a new image")
            << "catalogue" << QByteArray("Vendrax: Database Error: Error updating images database\n");
        QTest::newRow("a start error still queued")
            << "start" << QByteArray("Vendrax: Start Monitoring: Unable to start monitoring");
    }

    void failuresDuringQuitGoToStandardError()
    {
        QFETCH(QString, failure);
        QFETCH(QByteArray, line);
        MainWindow window(nullptr, refusedAddress());
        if (failure == QLatin1String("catalogue")) {
            const QString image = files.filePath(QStringLiteral("refused.png"));
            QVERIFY(writeImage(image, 40, 30));
            QSqlQuery readOnly(QSqlDatabase::database(QLatin1String(imagesCatalogue.connectionName), false));
            QVERIFY(readOnly.exec(QStringLiteral("PRAGMA query_only=1")));
            auto* transfers = window.findChild<TransfersFrame*>();
            QMetaObject::invokeMethod(
                transfers, [transfers, image] { emit transfers->downloadedImage(image, QStringLiteral("Example.com")); },
                Qt::QueuedConnection);
        } else {
            emit window.findChild<WelcomeFrame*>()->startMonitoring(QStringLiteral("no-such-device0"));
            // The thread has ended; its error waits in the window's queue.
            QVERIFY(window.findChild<CaptureEngine*>()->wait(30000));
        }

        StandardErrorCapture standardError;
        window.quit();
        const QByteArray written = standardError.written();
        QVERIFY2(prompts->messages.isEmpty(), qPrintable(prompts->titles().join(QStringLiteral(", "))));
        QVERIFY2(written.contains(line), written.constData());
        QCOMPARE(written.count("Vendrax: "), 1);
    }

    // File > Quit in the program as main runs it, in a process of its own:
    // it ends within Quit's bound, idle, monitoring, with more captured than
    // a slow data folder writes by then, or with a capture's write held by a
    // data folder, catalogues and all, that hangs past the bound; every kept
    // file left is listed.
    void quitEndsTheProgramLive_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("bytesPerSecond");  // of the day's folder; 0: an ordinary one
        QTest::newRow("idle") << "idle" << 0;
        QTest::newRow("monitoring") << "monitoring" << 0;
        QTest::newRow("a backlog past the bound on a slow disk") << "backlog" << 400000;
        QTest::newRow("the data folder's writes hang, catalogues and all") << "held" << 0;
    }

    void quitEndsTheProgramLive()
    {
        QFETCH(QString, mode);
        QFETCH(int, bytesPerSecond);
        skipWithoutPrivateNetwork();
        const QString day = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/"
            + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
        QVERIFY(QDir().mkpath(day));
        const bool held = mode == QLatin1String("held");
        QTemporaryDir backing;
        std::unique_ptr<test_support::hanging_disk> disk;
        if (bytesPerSecond > 0 || held) {
            std::string whyNot;
            if (test_support::private_mounts_ready())
                disk = test_support::hanging_disk::mount(backing.path().toStdString(),
                                                         (held ? dataFolder() : day).toStdString(), whyNot);
            if (!disk)
                QSKIP(qPrintable(QStringLiteral("no slow disk: %1 %2").arg(
                    QString::fromStdString(test_support::private_mounts_failure()), QString::fromStdString(whyNot))));
            disk->slow(std::size_t(bytesPerSecond));
        }
        test_support::http_server web(80);
        web.route("/warm-up.gif", test_support::http_reply(noisePng(60, 40)).with_header("Content-Type", "image/png"));
        const std::string image = noisePng(600, 580);
        for (int number = 0; number < 30; ++number)
            web.route("/noise-" + std::to_string(number) + ".png",
                      test_support::http_reply(image).with_header("Content-Type", "image/png"));

        QProcess program;
        // Whatever happens, the disk answers before the program is killed.
        const auto letGo = qScopeGuard([&] {
            if (disk)
                disk->release();
        });
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--quitting-program"), mode});
        // The program's next line; nothing when it ended, or gave none within
        // 120 s.
        const auto nextLine = [&] {
            const auto ready = [&] { return program.canReadLine() || program.state() == QProcess::NotRunning; };
            return QTest::qWaitFor(ready, 120000) && program.canReadLine() ? program.readLine() : QByteArray();
        };
        if (held) {
            QCOMPARE(nextLine(), QByteArray("ready\n"));
            disk->hang(test_support::hanging_disk::operations::writes);
            QCOMPARE(fetchOnPort80("images.sitename.test", "/noise-0.png"), image);
            QVERIFY2(QTest::qWaitFor([&] { return disk->held() > 0; }, 30000), "no write of the image was held");
            program.write("go\n");
        }
        QCOMPARE(nextLine(), QByteArray("quit\n"));
        QElapsedTimer clock;
        clock.start();
        // The bound, and the process's own end after it. Where a thread's
        // write is held, the kernel keeps the ended process until the disk
        // answers.
        QVERIFY2(QTest::qWaitFor([&] { return programEnded(program); }, MainWindow::quitLimitMs + 5000),
                 qPrintable(QStringLiteral("still running %1 ms after Quit").arg(clock.elapsed())));
        if (disk)
            disk->release();
        QVERIFY(program.state() == QProcess::NotRunning || program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);

        // Each kept file is listed, from the catalogue's log when the program
        // ended without closing it; what the bound cut left nothing behind
        // but, where writes were held, its hidden partial file, which the next
        // start removes.
        const QStringList listed = storedRows(QStringLiteral("/images.dat"), QStringLiteral("IMAGES"));
        const QFileInfoList kept =
            QDir(day + "/sitename.test").entryInfoList(held ? QDir::Files : QDir::Files | QDir::Hidden);
        QVERIFY(!kept.isEmpty() || mode == QLatin1String("idle"));
        for (const QFileInfo& file : kept)
            QVERIFY2(listed.filter(file.filePath() + '|').size() == 1, qPrintable(file.filePath()));
        const auto whole = std::count_if(kept.begin(), kept.end(), [&](const QFileInfo& file) {
            return file.size() == qint64(image.size());
        });
        if (mode == QLatin1String("backlog"))
            QVERIFY2(whole > 0 && whole < 30, qPrintable(QStringLiteral("%1 of 30 kept").arg(whole)));
        QDir(day).removeRecursively();
        disk.reset();
    }

    // The data folder's disk stops answering, and Stop is pressed while the
    // capture thread makes the folder of a kept image on it, or while the
    // thread is idle and the stop removes the folders left empty; a download
    // whose server stalls may be running, and ends with the stop; or a
    // download failed once the disk hung, and the removal of its empty folder
    // waits for the disk. The window does not wait for the disk, and a new
    // period may start meanwhile. Once the disk answers, a held period ends
    // without a word to the window, its empty folders go, and it is
    // destroyed; the new period then captures.
    void stopWhileStorageHoldsTheCaptureThreadLive_data()
    {
        QTest::addColumn<bool>("makingFolder");
        QTest::addColumn<bool>("downloading");
        QTest::addColumn<bool>("failedReplay");
        QTest::newRow("thread making a folder") << true << false << false;
        QTest::newRow("thread making a folder, a download running") << true << true << false;
        QTest::newRow("thread idle, the stop removing folders") << false << false << false;
        QTest::newRow("a download's report while folder operations hang") << false << false << true;
    }

    void stopWhileStorageHoldsTheCaptureThreadLive()
    {
        QFETCH(bool, makingFolder);
        QFETCH(bool, downloading);
        QFETCH(bool, failedReplay);
        skipWithoutPrivateNetwork();
        const QString day = today();
        QTemporaryDir backing;
        QString whyNot;
        auto disk = mountToday(backing, whyNot);
        if (!disk)
            QSKIP(qPrintable(whyNot));
        test_support::http_server web(80);
        web.route("/warm-up.gif", test_support::http_reply(std::string(6000, 'g')).with_header("Content-Type", "image/gif"));
        const std::string image(40000, 'p');
        web.route("/held.png", test_support::http_reply(image).with_header("Content-Type", "image/png"));
        // The browser gets the video; its replay stalls after the head.
        const std::string video(20000, 'v');
        std::atomic<int> videoRequests{0};
        web.route("/running.mp4", [&](const test_support::received_request&) {
            auto reply = test_support::http_reply(video).with_header("Content-Type", "video/mp4");
            return ++videoRequests == 1 ? reply : reply.with_fault(test_support::http_reply::fault::stall_after_headers);
        });
        // The browser gets the video; its replay fails after it started: the
        // server answers 404 (after making the disk's folder operations hang,
        // for /failed.mp4). The capture sees that answer pass too, and keeps
        // nothing of it, so no repeat of the video opens its folder again.
        const auto refusedReplay = [&](bool hang) {
            return [&, hang, asked = std::make_shared<std::atomic<int>>(0)](const test_support::received_request&) {
                auto reply = test_support::http_reply(video).with_header("Content-Type", "video/mp4");
                if (++*asked == 1)
                    return reply;
                if (hang)
                    disk->hang(test_support::hanging_disk::operations::folders);
                return reply.with_status(404);
            };
        };
        web.route("/cut.mp4", refusedReplay(false));
        web.route("/failed.mp4", refusedReplay(true));

        MainWindow window(nullptr, refusedAddress());
        auto* welcome = window.findChild<WelcomeFrame*>();
        emit welcome->startMonitoring(QStringLiteral("lo"));
        QPointer<CaptureEngine> held = window.findChild<CaptureEngine*>();
        QVERIFY(held);
        QVERIFY2(waitUntilCapturing(held), "no capture of the warm-up image within 30 s");

        // Whatever happens, the disk answers again after 60 s: a window that
        // waits for it fails the test instead of hanging it.
        std::mutex watchdogMutex;
        std::condition_variable watchdogWake;
        bool over = false;
        std::thread watchdog([&] {
            std::unique_lock lock(watchdogMutex);
            watchdogWake.wait_for(lock, std::chrono::seconds(60), [&] { return over; });
            disk->release();
        });
        const auto endWatchdog = qScopeGuard([&] {
            {
                const std::lock_guard lock(watchdogMutex);
                over = true;
            }
            watchdogWake.notify_all();
            watchdog.join();
        });

        if (downloading) {
            QCOMPARE(fetchOnPort80("clips.videosite.test", "/running.mp4"), video);
            QVERIFY2(QTest::qWaitFor([&] { return videoRequests == 2; }, 30000), "the video was not replayed");
        }
        if (failedReplay) {
            // The failed replay's site folder goes as it fails, not at Stop
            // (the disk's files are named while they are written).
            QCOMPARE(fetchOnPort80("clips.cutsite.test", "/cut.mp4"), video);
            auto* transfers = window.findChild<TransfersFrame*>();
            QTRY_VERIFY_WITH_TIMEOUT(transfers->entryAt(transferRows(window) - 1)->outFile.contains("cutsite.test")
                                         && transfers->entryAt(transferRows(window) - 1)->progress == -1,
                                     30000);
            QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(day + "/cutsite.test"), 30000);
            QCOMPARE(fetchOnPort80("clips.failsite.test", "/failed.mp4"), video);
            QVERIFY2(QTest::qWaitFor([&] { return disk->held() == 1; }, 30000), "the empty folder was not removed");
        }
        // Held while it makes a folder, the thread is not held by the
        // removal of the warm-up's folder as well.
        disk->hang(makingFolder ? test_support::hanging_disk::operations::making_folders
                                : test_support::hanging_disk::operations::folders);
        if (makingFolder) {
            QCOMPARE(fetchOnPort80("held.othersite.test", "/held.png"), image);
            QVERIFY2(QTest::qWaitFor([&] { return disk->held() == 1; }, 30000), "the site's folder was not made");
        }
        QCoreApplication::processEvents();
        const int rows = transferRows(window);

        QElapsedTimer clock;
        clock.start();
        emit welcome->stopMonitoring();
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QStringLiteral("Stop took %1 ms").arg(clock.elapsed())));
        QCOMPARE(disk->held(), std::size_t(1));
        QCOMPARE(held && held->isRunning(), makingFolder);
        // What a second stop of a period closes: a set of folders that opened
        // none. It returns while the disk holds the folder lock.
        auto closed = std::make_shared<std::atomic<bool>>(false);
        std::thread([closed] {
            std::make_shared<SiteFolders>()->closeAll();
            *closed = true;
        }).detach();
        QVERIFY2(QTest::qWaitFor([&] { return closed->load(); }, 30000),
                 "closing a set that opened no folder waited for the disk");
        QVERIFY(window.findChild<CaptureEngine*>() == nullptr);

        // A new period while the disk still holds the old one.
        emit welcome->startMonitoring(QStringLiteral("lo"));
        QPointer<CaptureEngine> next = window.findChild<CaptureEngine*>();
        QVERIFY(next && next != held);

        disk->release();
        QTRY_VERIFY_WITH_TIMEOUT(held.isNull(), 30000);
        QVERIFY(!QFileInfo::exists(day + "/othersite.test"));
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(day + "/failsite.test"), 30000);
        QCoreApplication::processEvents();
        QCOMPARE(transferRows(window), rows);

        // The new period captures once the held one has let go.
        QVERIFY2(waitUntilCapturing(next), "the new period captured nothing within 30 s");
        clock.restart();
        emit welcome->stopMonitoring();
        QVERIFY(next.isNull());
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QStringLiteral("Stop took %1 ms").arg(clock.elapsed())));
        QVERIFY(prompts->messages.isEmpty());
    }

    // Stop while the data folder still takes the stopped period's captures,
    // slowly, and Start at once: the new period captures while the stopped
    // one still writes, and the two periods' rows, whose ids repeat, stay
    // apart, each ending once.
    void startAtOnceWhileTheStoppedPeriodWritesLive()
    {
        skipWithoutPrivateNetwork();
        QTemporaryDir backing;
        QString whyNot;
        auto disk = mountToday(backing, whyNot);
        if (!disk)
            QSKIP(qPrintable(whyNot));
        test_support::http_server web(80);
        web.route("/warm-up.gif", test_support::http_reply(std::string(6000, 'g')).with_header("Content-Type", "image/gif"));
        const std::string picture(100000, 'b'), fresh(30000, 'f'), video(20000, 'v');
        web.route("/backlog.png", test_support::http_reply(picture).with_header("Content-Type", "image/png"));
        web.route("/fresh.png", test_support::http_reply(fresh).with_header("Content-Type", "image/png"));
        std::atomic<int> markerRequests{0};
        web.route("/marker.mp4", [&](const test_support::received_request&) {
            ++markerRequests;
            return test_support::http_reply(video).with_header("Content-Type", "video/mp4");
        });

        MainWindow window(nullptr, refusedAddress());
        auto* welcome = window.findChild<WelcomeFrame*>();
        auto* transfers = window.findChild<TransfersFrame*>();
        QSignalSpy images(transfers, &TransfersFrame::downloadedImage), videos(transfers, &TransfersFrame::downloadedVideo);
        emit welcome->startMonitoring(QStringLiteral("lo"));
        QPointer<CaptureEngine> stopped = window.findChild<CaptureEngine*>();
        QVERIFY2(waitUntilCapturing(stopped), "no capture of the warm-up image within 30 s");

        // About 15 s of writing. The video is replayed once the loop has
        // taken every image before it whole: Stop cuts none of them.
        disk->slow(128 << 10);
        for (int i = 0; i < 20; ++i)
            QCOMPARE(fetchOnPort80("pics.backlogsite.test", "/backlog.png"), picture);
        QCOMPARE(fetchOnPort80("clips.backlogsite.test", "/marker.mp4"), video);
        QVERIFY2(QTest::qWaitFor([&] { return markerRequests == 2; }, 30000), "the video was not replayed");

        emit welcome->stopMonitoring();
        emit welcome->startMonitoring(QStringLiteral("lo"));
        QPointer<CaptureEngine> next = window.findChild<CaptureEngine*>();
        QVERIFY2(stopped && stopped->isRunning(), "the backlog was written before Stop");
        QSignalSpy freshStarted(next, &CaptureEngine::captureStarted);
        bool capturedWhileStoppedWrote = false;
        QVERIFY2(QTest::qWaitFor([&] {
            fetchOnPort80("pics.freshsite.test", "/fresh.png");
            if (!freshStarted.wait(200) && freshStarted.isEmpty())
                return false;
            capturedWhileStoppedWrote = stopped && stopped->isRunning();
            return true;
        }, 30000), "the new period captured nothing within 30 s");
        QVERIFY2(capturedWhileStoppedWrote, "the new period captured only once the stopped one had written");

        QTRY_VERIFY_WITH_TIMEOUT(stopped.isNull(), 60000);
        emit welcome->stopMonitoring();
        QTRY_VERIFY_WITH_TIMEOUT(next.isNull(), 60000);
        QCoreApplication::processEvents();
        int finished = 0, freshKept = 0;
        for (int row = 0; const auto entry = transfers->entryAt(row); ++row) {
            QVERIFY2(entry->finished || entry->progress == -1, qPrintable(entry->outFile + " never ended"));
            if (!entry->finished)
                continue;
            ++finished;
            freshKept += entry->outFile.contains("freshsite") && QFileInfo(entry->outFile).size() == qint64(fresh.size());
        }
        // Each finished row was announced once: no report reached another
        // period's row.
        QCOMPARE(images.size() + videos.size(), finished);
        QVERIFY(freshKept >= 1);
    }
};

int main(int argc, char** argv)
{
    // The quitting program stays in the namespaces of the test that starts it.
    if (argc == 3 && std::strcmp(argv[1], "--quitting-program") == 0) {
        QApplication application(argc, argv);
        setUpApplication(application);
        return runQuittingProgram(application, QString::fromLatin1(argv[2]));
    }
    // Before any thread exists: only the calling thread changes namespace.
    std::string whyNot;
    test_support::enter_private_network(whyNot);
    test_support::enter_private_mounts(whyNot);

    window_test::PrivateHome home;
    QApplication application(argc, argv);
    setUpApplication(application);
    StopAndQuitTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "stop_and_quit_test.moc"