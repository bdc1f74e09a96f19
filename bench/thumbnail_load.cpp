// The videos page's work on newly kept videos, without end, as a load beside
// the live capture (bench/live.sh, LOAD=thumbnails):
//
//   thumbnail_load VIDEO COPIES
//
// Copies VIDEO COPIES times into a folder beside it, then, round after
// round, does for every copy what the page does for a new video: the probe
// for its row on this thread, then its thumbnail job on Qt's global thread
// pool. A round waits for its jobs and removes the thumbnails they wrote.
// Both run through the program's own VideoFile, with the real programs (the
// launchers of the build), so at the program's priority and concurrency.
// Prints "loading" once started and, when SIGINT or SIGTERM ends it,
// "rounds=N thumbnails=N" (thumbnails made).
#include "VideoFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QList>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

std::atomic<bool> ending{false};

void end(int)
{
    ending = true;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: thumbnail_load VIDEO COPIES\n");
        return 2;
    }
    std::signal(SIGINT, end);
    std::signal(SIGTERM, end);
    setExternalProgramsForTesting(QStringLiteral(VENDRAX_EXTERNAL_PROGRAMS_DIR "/ffprobe"),
                                  QStringLiteral(VENDRAX_EXTERNAL_PROGRAMS_DIR "/ffmpeg"));

    const QFileInfo video(QString::fromLocal8Bit(argv[1]));
    const QString folder = video.absolutePath() + QStringLiteral("/thumbnail-load");
    QDir().mkpath(folder);
    QStringList copies;
    for (int i = 0; i < std::max(1, std::atoi(argv[2])); ++i) {
        copies.append(folder + QStringLiteral("/copy-%1.").arg(i) + video.suffix());
        QFile::remove(copies.last());
        if (!QFile::copy(video.absoluteFilePath(), copies.last())) {
            std::fprintf(stderr, "cannot copy %s\n", argv[1]);
            return 1;
        }
    }
    std::printf("loading\n");
    std::fflush(stdout);

    unsigned long rounds = 0, made = 0;
    while (!ending) {
        QList<QFuture<bool>> jobs;
        for (const QString& copy : copies) {
            if (ending)
                break;
            MediaInfo info;
            VideoFile(copy).readMediaInfo(info);
            jobs.append(QtConcurrent::run([copy] { return !VideoFile(copy).makeThumbnail(267, 150).isNull(); }));
        }
        for (QFuture<bool>& job : jobs)
            made += job.result() ? 1 : 0;
        for (const QString& copy : copies)
            QFile::remove(thumbnailPath(copy));
        ++rounds;
    }
    std::printf("rounds=%lu thumbnails=%lu\n", rounds, made);
    QDir(folder).removeRecursively();
    return 0;
}
