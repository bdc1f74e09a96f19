#pragma once

// Shared by the live tests of the whole window (Stop and Start, Quit): they
// run in network and mount namespaces of their own, made in main, so that
// monitoring "lo" sees only the test's traffic and a disk that hangs is the
// test's alone.

#include "CaptureEngine.h"
#include "MainWindow.h"
#include "TransfersFrame.h"
#include "WindowTestSupport.h"

#include "testkit/hanging_disk.hpp"
#include "tests/support/http_get.hpp"
#include "tests/support/network_namespace.hpp"
#include "tests/support/private_mounts.hpp"

#include <QDate>
#include <QDir>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QObject>
#include <QTemporaryDir>

#include <memory>
#include <string>

// Skips the live case where the namespace could not be made.
#define QSKIP_WITHOUT_PRIVATE_NETWORK()                                                                     \
    do {                                                                                                    \
        if (!test_support::private_network_ready())                                                         \
            QSKIP(qPrintable(QStringLiteral("needs root and a private network namespace: %1")              \
                                 .arg(QString::fromStdString(test_support::private_network_failure())))); \
    } while (false)

namespace window_test {

// A GET to the capture's port on loopback on a fresh connection; the body.
inline std::string fetchOnPort80(const std::string& host, const std::string& path)
{
    return test_support::http_get("127.0.0.1", 80, host, path, "Connection: close\r\n");
}

// libnids follows only connections whose opening it saw, and nothing tells
// when its capture is open: an image is fetched until its capture is reported.
inline bool waitUntilCapturing(CaptureEngine* engine)
{
    QSignalSpy captured(engine, &CaptureEngine::captureFinished);
    return QTest::qWaitFor([&] {
        fetchOnPort80("warm-up.sitename.test", "/warm-up.gif");
        return captured.wait(200) || !captured.isEmpty();
    }, 30000);
}

inline int transferRows(MainWindow& window)
{
    auto* transfers = window.findChild<TransfersFrame*>();
    int rows = 0;
    while (transfers->entryAt(rows))
        ++rows;
    return rows;
}

// Today's folder in the data folder.
inline QString today()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/"
        + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
}

// Today's folder becomes the disk, so that a site's folder is made on it;
// null, with the reason, where it cannot.
inline std::unique_ptr<test_support::hanging_disk> mountToday(const QTemporaryDir& backing, QString& whyNot)
{
    std::string reason = test_support::private_mounts_failure();
    auto disk = test_support::private_mounts_ready() && QDir().mkpath(today())
        ? test_support::hanging_disk::mount(backing.path().toStdString(), today().toStdString(), reason)
        : nullptr;
    if (!disk)
        whyNot = QString::fromStdString("needs private mounts and a file system in user space: " + reason);
    return disk;
}

// The fixture of the live tests: a data folder without catalogues and a
// recorder of every box for each case.
class LiveWindowTest : public QObject {
    Q_OBJECT

protected:
    std::unique_ptr<Prompts> prompts;
    QTemporaryDir files;

private slots:
    void initTestCase() { startWindowTests(files.path()); }
    void cleanupTestCase() { endWindowTests(); }

    void init()
    {
        removeCatalogueFiles();
        prompts = std::make_unique<Prompts>();
        prompts->install();
    }

    void cleanup() { prompts.reset(); }
};

// A QtTest main for the live tests: the namespaces first, before any thread
// exists (only the calling thread changes namespace), then a private home.
template <typename Test>
int runLiveWindowTests(int argc, char** argv)
{
    std::string whyNot;
    test_support::enter_private_network(whyNot);
    test_support::enter_private_mounts(whyNot);
    PrivateHome home;
    QApplication application(argc, argv);
    setUpApplication(application);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace window_test
