#include "CaptureEngine.h"
#include "LiveWindowSupport.h"
#include "MainWindow.h"
#include "SiteFolders.h"
#include "TransfersFrame.h"
#include "WelcomeFrame.h"

#include "tests/support/http_server.hpp"

#include <QElapsedTimer>
#include <QPointer>
#include <QScopeGuard>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace window_test;

// Stop and Start of the whole window with its real pages and the real capture
// thread, also while the data folder's disk hangs or writes slowly.
class StopAndStartTest : public LiveWindowTest {
    Q_OBJECT

private slots:
    void stopTwiceLive()
    {
        QSKIP_WITHOUT_PRIVATE_NETWORK();
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
        QSKIP_WITHOUT_PRIVATE_NETWORK();
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
        QSKIP_WITHOUT_PRIVATE_NETWORK();
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
    return runLiveWindowTests<StopAndStartTest>(argc, argv);
}

#include "stop_and_start_test.moc"
