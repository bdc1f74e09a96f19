#include "ApplicationSetup.h"

#include "CaptureEngine.h"
#include "HttpResource.h"
#include "MainWindow.h"
#include "VendraxResources.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QImageReader>
#include <QNetworkProxyFactory>
#include <QThreadPool>
#include <QTime>

#include <cstdio>
#include <cstdlib>

namespace {

// How long the process waits, once Quit has seen every period's run end,
// for the threads that destroy their engines or remove their folders, and
// for the thumbnail jobs: no report comes from them any more, and what they
// still do is dropping temporary files or ending a killed program.
constexpr int endingThreadsLimitMs = 2000;

} // namespace

void setUpApplication(QApplication& application)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tormane Solutions"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("vendrax.example"));
    QCoreApplication::setApplicationName(QStringLiteral("Vendrax"));

    QNetworkProxyFactory::setUseSystemConfiguration(true);
    registerHttpResourceMetaType();
    initVendraxResources();

    // A style sheet that cannot be read leaves the default look.
    QFile styleSheet(QStringLiteral(":/ui/stylesheet.qss"));
    if (styleSheet.open(QIODevice::ReadOnly)) {
        application.setStyleSheet(QString::fromLatin1(styleSheet.readAll()));
        styleSheet.close();
    }

    // Every QImage load of the program goes through QImageReader, which checks
    // this bound against the size a file's header announces.
    QImageReader::setAllocationLimit(imageAllocationLimitMiB);

    std::srand(static_cast<unsigned>(QTime::currentTime().msec()));
}

int runMainWindow(QApplication& application)
{
    auto* window = new MainWindow;
    window->show();
    const int exitCode = application.exec();
    window->quit();
    const QDeadlineTimer quitEnd = window->quitDeadline();
    delete window;

    const QDeadlineTimer limit(qMin(quitEnd.remainingTime(), qint64(endingThreadsLimitMs)), Qt::PreciseTimer);
    if (CaptureEngine::waitForThreads(limit) && QThreadPool::globalInstance()->waitForDone(int(limit.remainingTime())))
        return exitCode;

    // Such a thread may be in the middle of the engine's objects, which the
    // static destructors would tear down under it, and the application's
    // destructor would wait for a job for good. The catalogues stay open:
    // closing one merges its write-ahead log into its file, which waits for
    // storage that may be what holds the thread. Every row is committed in
    // the log already, and the next start reads it from there.
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
