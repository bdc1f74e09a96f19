#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "CaptureEngine.h"
#include "VendraxResources.h"

// The thread's lifecycle where no capture device is needed: a device name
// that no machine has makes the engine's start fail.

namespace {

const QString missingDevice = QStringLiteral("vx-missing0");

// Every signal of a CaptureEngine, counted.
struct AllSignals {
    explicit AllSignals(CaptureEngine* engine)
        : error(engine, &CaptureEngine::errorStartingEngine),
          downloadStarted(engine, &CaptureEngine::downloadStarted),
          downloadProgress(engine, &CaptureEngine::downloadProgress),
          downloadError(engine, &CaptureEngine::downloadError),
          downloadFinished(engine, &CaptureEngine::downloadFinished),
          captureStarted(engine, &CaptureEngine::captureStarted),
          captureProgress(engine, &CaptureEngine::captureProgress),
          captureStreamClosed(engine, &CaptureEngine::captureStreamClosed),
          captureError(engine, &CaptureEngine::captureError),
          captureFinished(engine, &CaptureEngine::captureFinished)
    {
    }
    qsizetype transfers() const
    {
        return downloadStarted.size() + downloadProgress.size() + downloadError.size() + downloadFinished.size()
            + captureStarted.size() + captureProgress.size() + captureStreamClosed.size() + captureError.size()
            + captureFinished.size();
    }
    QSignalSpy error, downloadStarted, downloadProgress, downloadError, downloadFinished, captureStarted,
        captureProgress, captureStreamClosed, captureError, captureFinished;
};

// Holds run() on the capture thread just before it builds its engine until
// the GUI thread's stop() has been requested, to make the race of a stop
// that overtakes the engine's creation happen every time.
class HeldEngine : public CaptureEngine {
public:
    HeldEngine() : CaptureEngine(missingDevice) {}

    QSemaphore reachedCreation;
    bool sawStop = false;

protected:
    void beforeEngineCreated() override
    {
        reachedCreation.release();
        const QDeadlineTimer limit(10000);
        while (!stopRequested() && !limit.hasExpired())
            QThread::yieldCurrentThread();
        sawStop = stopRequested();
    }
};

}  // namespace

class CaptureThreadTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        initVendraxResources();
        registerHttpResourceMetaType();
    }

    void unknownDeviceReportsOnlyTheError()
    {
        CaptureEngine engine(missingDevice);
        AllSignals spies(&engine);
        QSignalSpy finished(&engine, &QThread::finished);
        engine.start();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCoreApplication::processEvents();
        QCOMPARE(spies.error.size(), 1);
        QCOMPARE(spies.transfers(), 0);

        // The thread has ended: stop() only destroys the engine left behind.
        QElapsedTimer clock;
        clock.start();
        engine.stop();
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(engine.isFinished());
        QCOMPARE(spies.error.size(), 1);
    }

    void stopBeforeTheEngineExistsEndsTheRun()
    {
        HeldEngine engine;
        AllSignals spies(&engine);
        engine.start();
        QVERIFY(engine.reachedCreation.tryAcquire(1, 30000));
        engine.stop();
        QVERIFY(engine.sawStop);
        QVERIFY(engine.isFinished());
        QCoreApplication::processEvents();
        // Had run() gone on to start the engine, the missing device would
        // have been reported.
        QCOMPARE(spies.error.size(), 0);
        QCOMPARE(spies.transfers(), 0);
    }

    void stopWithoutStartAndTwice()
    {
        CaptureEngine engine(missingDevice);
        AllSignals spies(&engine);
        engine.stop();
        engine.stop();
        QVERIFY(!engine.isRunning());
        // A stop before start() does not spoil the period that follows.
        engine.start();
        QVERIFY(engine.wait(30000));
        QCoreApplication::processEvents();
        QCOMPARE(spies.error.size(), 1);
        engine.stop();
        engine.stop();
    }

    void stopRightAfterStartEndsPromptly()
    {
        for (int round = 0; round < 20; ++round) {
            CaptureEngine engine(missingDevice);
            QElapsedTimer clock;
            clock.start();
            engine.start();
            engine.stop();
            QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(engine.isFinished());
        }
    }

    void destroyedWhileStarting()
    {
        // The destructor stops and waits; it never leaves a thread running.
        for (int round = 0; round < 20; ++round) {
            auto* engine = new CaptureEngine(missingDevice);
            engine->start();
            delete engine;
        }
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    CaptureThreadTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "capture_thread_test.moc"
