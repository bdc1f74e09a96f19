#include "ApplicationSetup.h"
#include "CaptureEngine.h"
#include "CatalogueStore.h"
#include "LiveWindowSupport.h"
#include "MainWindow.h"
#include "TransfersFrame.h"
#include "WelcomeFrame.h"

#include "tests/support/http_server.hpp"

#include <QBuffer>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QTableWidget>
#include <QTemporaryFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <unistd.h>

using namespace window_test;

namespace {

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

// Quit of the whole window with its real pages and the real capture thread,
// in the test's process and in a process of its own started as the program.
class QuitTest : public LiveWindowTest {
    Q_OBJECT

private slots:
    void quitDuringMonitoringEndsTheCaptureThreadFirstLive()
    {
        QSKIP_WITHOUT_PRIVATE_NETWORK();
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
        QSKIP_WITHOUT_PRIVATE_NETWORK();
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
};

int main(int argc, char** argv)
{
    // The quitting program stays in the namespaces of the test that starts it.
    if (argc == 3 && std::strcmp(argv[1], "--quitting-program") == 0) {
        QApplication application(argc, argv);
        setUpApplication(application);
        return runQuittingProgram(application, QString::fromLatin1(argv[2]));
    }
    return runLiveWindowTests<QuitTest>(argc, argv);
}

#include "quit_test.moc"
