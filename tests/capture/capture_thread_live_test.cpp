#include <map>
#include <memory>
#include <random>
#include <string>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "CaptureEngine.h"
#include "VendraxResources.h"
#include "tests/support/http_get.hpp"
#include "tests/support/http_server.hpp"
#include "tests/support/network_namespace.hpp"

// The whole capture thread on "lo" inside a network namespace of this test's
// own: a real server on port 80, a real client, the real engine. Needs root.

namespace {

std::string randomBody(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string body(size, '\0');
    for (char& byte : body)
        byte = char(generator());
    return body;
}

// One GET on a fresh connection to 127.0.0.1:80 with the given Host header;
// returns the response body (empty on any failure).
std::string fetch(const std::string& host, const std::string& path)
{
    return test_support::http_get("127.0.0.1", 80, host, path, "User-Agent: vendrax-test\r\nConnection: close\r\n");
}

test_support::http_reply reply(const char* type, std::string body)
{
    test_support::http_reply answer;
    answer.headers = {{"Content-Type", type}};
    answer.body = std::move(body);
    return answer;
}

// What the GUI thread received, in arrival order, per transfer ("capture 3",
// "download 1"): the event names.
struct Journal : QObject {
    std::map<QString, QStringList> events;
    std::map<QString, QString> files;
    bool allInGuiThread = true;

    void record(const QString& transfer, const QString& event)
    {
        allInGuiThread = allInGuiThread && QThread::currentThread() == thread();
        events[transfer].append(event);
    }

    explicit Journal(CaptureEngine* engine)
    {
        const auto key = [](const char* kind, int id) { return QStringLiteral("%1 %2").arg(kind).arg(id); };
        connect(engine, &CaptureEngine::captureStarted, this, [this, key](int id, HttpResource, QString outFile) {
            files[key("capture", id)] = outFile;
            record(key("capture", id), "started");
        });
        connect(engine, &CaptureEngine::captureProgress, this,
                [this, key](int id, double, double) { record(key("capture", id), "progress"); });
        connect(engine, &CaptureEngine::captureFinished, this,
                [this, key](int id) { record(key("capture", id), "finished"); });
        connect(engine, &CaptureEngine::captureError, this,
                [this, key](int id, int code, QString) { record(key("capture", id), QStringLiteral("error %1").arg(code)); });
        connect(engine, &CaptureEngine::captureStreamClosed, this,
                [this, key](int id) { record(key("capture", id), "closed"); });
        connect(engine, &CaptureEngine::downloadStarted, this, [this, key](int id, HttpResource, QString outFile) {
            files[key("download", id)] = outFile;
            record(key("download", id), "started");
        });
        connect(engine, &CaptureEngine::downloadProgress, this,
                [this, key](int id, double, double) { record(key("download", id), "progress"); });
        connect(engine, &CaptureEngine::downloadFinished, this,
                [this, key](int id) { record(key("download", id), "finished"); });
        connect(engine, &CaptureEngine::downloadError, this,
                [this, key](int id, int code, QString) { record(key("download", id), QStringLiteral("error %1").arg(code)); });
    }

    // The transfer whose file ends with `suffix`, or an empty text.
    QString transferOf(const QString& fileSuffix) const
    {
        for (const auto& [transfer, file] : files)
            if (file.endsWith(fileSuffix))
                return transfer;
        return {};
    }
    bool finished(const QString& transfer) const
    {
        const auto found = events.find(transfer);
        return found != events.end() && !found->second.isEmpty() && found->second.last() != "started"
            && found->second.last() != "progress";
    }
};

// libnids follows only connections whose opening it saw, and nothing tells
// when its capture is open: fetch a small image until its capture is
// reported. Returns false when none arrived in time.
bool waitUntilCapturing(QSignalSpy& captureFinished)
{
    const QDeadlineTimer limit(30000);
    while (!limit.hasExpired()) {
        fetch("warm-up.sitename.test", "/warm-up.gif");
        if (captureFinished.wait(200) || !captureFinished.isEmpty())
            return true;
    }
    return false;
}

}  // namespace

class CaptureThreadLiveTest : public QObject {
    Q_OBJECT

    QTemporaryDir dataHome;
    std::unique_ptr<test_support::http_server> server;

private slots:
    void initTestCase()
    {
        if (!test_support::private_network_ready())
            QSKIP(qPrintable("needs root and a private network namespace: "
                             + QString::fromStdString(test_support::private_network_failure())));
        QVERIFY(dataHome.isValid());
        qputenv("XDG_DATA_HOME", dataHome.path().toLocal8Bit());
        initVendraxResources();
        registerHttpResourceMetaType();
        // Port 80: the engine's filter watches only 80 and 8080, and a replayed
        // download goes to the sniffed server address, which is this server.
        server = std::make_unique<test_support::http_server>(80);
        server->route("/warm-up.gif", reply("image/gif", randomBody(6000, 1)));
    }

    void capturesAndDownloadsArriveWholeAndInOrder()
    {
        const std::string firstImage = randomBody(40000, 2), secondImage = randomBody(300000, 3),
                          video = randomBody(700000, 4);
        server->route("/photos/a.png", reply("image/png", firstImage));
        server->route("/photos/b.jpg", reply("image/jpeg;charset=x", secondImage));
        server->route("/clips/c.mp4", reply("video/mp4", video));
        const QDate dayBefore = QDate::currentDate();

        CaptureEngine engine(QStringLiteral("lo"));
        Journal journal(&engine);
        QSignalSpy error(&engine, &CaptureEngine::errorStartingEngine);
        QSignalSpy captureFinished(&engine, &CaptureEngine::captureFinished);
        engine.start();
        QVERIFY2(waitUntilCapturing(captureFinished), "no capture of the warm-up image within 30 s");

        QCOMPARE(fetch("images.sitename.test", "/photos/a.png"), firstImage);
        QCOMPARE(fetch("IMAGES.SiteName.test", "/photos/b.jpg"), secondImage);
        QCOMPARE(fetch("video.sitename.test", "/clips/c.mp4"), video);

        QString first, second, clip;
        QTRY_VERIFY_WITH_TIMEOUT(!(first = journal.transferOf(".png")).isEmpty() && journal.finished(first)
                                     && !(second = journal.transferOf(".jpeg")).isEmpty() && journal.finished(second)
                                     && !(clip = journal.transferOf(".mp4")).isEmpty() && journal.finished(clip),
                                 30000);
        engine.stop();
        QVERIFY(engine.isFinished());
        QCoreApplication::processEvents();
        QCOMPARE(error.size(), 0);
        QVERIFY(journal.allInGuiThread);

        // Images are recorded as they pass (the connection's id), the video is
        // fetched again: the first download of this engine.
        QVERIFY2(first.startsWith("capture ") && second.startsWith("capture "), qPrintable(first + ", " + second));
        QVERIFY(first != second);
        QCOMPARE(clip, QString("download 1"));
        QCOMPARE(server->requests().back().target, std::string("/clips/c.mp4"));

        const QStringList days = {dayBefore.toString("yyyy-MM-dd"), QDate::currentDate().toString("yyyy-MM-dd")};
        const QString dataLocation = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        // The site's folder keeps the Host header's letter case as sent.
        const std::map<QString, std::pair<QString, std::string>> expected = {
            {first, {"sitename.test", firstImage}}, {second, {"SiteName.test", secondImage}}, {clip, {"sitename.test", video}}};
        for (const auto& [transfer, site] : expected) {
            const auto& [folder, body] = site;
            const QStringList& events = journal.events[transfer];
            QVERIFY2(events.first() == "started" && events.last() == "finished"
                         && events.count("started") == 1 && events.count("finished") == 1
                         && events.count("progress") == events.size() - 2,
                     qPrintable(transfer + ": " + events.join(", ")));

            const QFileInfo file(journal.files[transfer]);
            QVERIFY2(file.absolutePath() == dataLocation + "/" + days[0] + "/" + folder
                         || file.absolutePath() == dataLocation + "/" + days[1] + "/" + folder,
                     qPrintable(file.absoluteFilePath()));
            QVERIFY2(QRegularExpression("^sitename\\.test_\\d+\\.(png|jpeg|mp4)$").match(file.fileName()).hasMatch(),
                     qPrintable(file.fileName()));
            QFile written(file.absoluteFilePath());
            QVERIFY2(written.open(QIODevice::ReadOnly), qPrintable(file.absoluteFilePath()));
            QVERIFY2(written.readAll() == QByteArray::fromStdString(body), qPrintable(transfer + " differs"));
        }
    }

    void stopRightAfterStartWithoutTraffic()
    {
        for (int round = 0; round < 5; ++round) {
            CaptureEngine engine(QStringLiteral("lo"));
            QSignalSpy error(&engine, &CaptureEngine::errorStartingEngine);
            QElapsedTimer clock;
            clock.start();
            engine.start();
            engine.stop();
            QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(engine.isFinished());
            QCOMPARE(error.size(), 0);
        }
    }

    void stopWhileCapturingIdleLoopback()
    {
        CaptureEngine engine(QStringLiteral("lo"));
        QSignalSpy captureFinished(&engine, &CaptureEngine::captureFinished);
        engine.start();
        QVERIFY(waitUntilCapturing(captureFinished));
        // No packet is on its way: the stop must wake the waiting capture.
        QElapsedTimer clock;
        clock.start();
        engine.stop();
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(engine.isFinished());
    }

    void destroyedWhileCapturing()
    {
        auto engine = std::make_unique<CaptureEngine>(QStringLiteral("lo"));
        QSignalSpy captureFinished(engine.get(), &CaptureEngine::captureFinished);
        engine->start();
        QVERIFY(waitUntilCapturing(captureFinished));
        QElapsedTimer clock;
        clock.start();
        engine.reset();
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    }

    void cleanupTestCase() { server.reset(); }
};

int main(int argc, char* argv[])
{
    // Before any thread exists: unshare() moves only the calling thread.
    std::string whyNot;
    test_support::enter_private_network(whyNot);
    QCoreApplication application(argc, argv);
    QCoreApplication::setOrganizationName("Tormane Solutions");
    QCoreApplication::setApplicationName("Vendrax");
    CaptureThreadLiveTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "capture_thread_live_test.moc"
