// Measures the transfers page under many transfers: N downloads and N
// captures, each announced, advanced twice and finished, the way the capture
// engine reports them (ids from 1, as one period of monitoring gives them).
//
//   transfers_bench [N]        (default 15000: 30,000 transfers, 120,000 reports)
//
// Ends with one line:
//   transfers=N reports=N start_ms=N progress_ms=N finish_ms=N total_ms=N clear_ms=N
// start_ms covers the start reports (rows added), progress_ms the progress
// reports, finish_ms the finish reports, each over all transfers; total_ms is
// their sum, and clear_ms the Clear button on the finished rows afterwards.
#include <QApplication>
#include <QElapsedTimer>
#include <QToolButton>

#include <cstdio>
#include <cstdlib>

#include "HttpResource.h"
#include "TransfersFrame.h"

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 15000;

    HttpResource video;
    video.host = QStringLiteral("media.tube.example");
    video.isVideo = true;
    video.size = 1 << 20;

    TransfersFrame page;
    QElapsedTimer clock;
    clock.start();
    for (int id = 1; id <= count; ++id) {
        page.downloadStarted(id, video, QStringLiteral("/d/tube.example_%1.mp4").arg(id));
        page.captureStarted(id, video, QStringLiteral("/d/tube.example_c%1.mp4").arg(id));
    }
    const qint64 started = clock.restart();
    for (int id = 1; id <= count; ++id) {
        for (double received : {1024.0, 524288.0}) {
            page.downloadProgress(id, 1 << 20, received);
            page.captureProgress(id, 1 << 20, received);
        }
    }
    const qint64 progressed = clock.restart();
    for (int id = 1; id <= count; ++id) {
        page.downloadFinished(id);
        page.captureFinished(id);
    }
    const qint64 finished = clock.restart();
    page.findChild<QToolButton*>(QStringLiteral("clearCompletedButton"))->click();
    const qint64 cleared = clock.elapsed();

    std::printf("transfers=%d reports=%d start_ms=%lld progress_ms=%lld finish_ms=%lld total_ms=%lld "
                "clear_ms=%lld\n",
                2 * count, 8 * count, static_cast<long long>(started), static_cast<long long>(progressed),
                static_cast<long long>(finished), static_cast<long long>(started + progressed + finished),
                static_cast<long long>(cleared));
    return 0;
}
