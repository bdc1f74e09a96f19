#include "VideoFile.h"

#include "Formatting.h"
#include "Saturation.h"
#include "Thumbnail.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QSemaphore>
#include <QTextStream>
#include <QThread>

#include <atomic>
#include <mutex>

#include <sched.h>
#include <unistd.h>

namespace {

struct ProgramPaths {
    QString probe;
    QString converter;
};

// The paths are made once, on whichever thread asks first; the static's
// guarded initialisation makes that safe when pool threads and the GUI thread
// race for it.
const ProgramPaths& installedPrograms()
{
    static const ProgramPaths paths = [] {
        const QString folder = QDir::fromNativeSeparators(QCoreApplication::applicationDirPath());
        return ProgramPaths{folder + QLatin1String("/3rdparty/ffprobe"),
                            folder + QLatin1String("/3rdparty/ffmpeg")};
    }();
    return paths;
}

std::mutex testProgramsMutex;
ProgramPaths testPrograms;

std::atomic<int> programWaitLimit{30000};

std::atomic<bool> programsRefused{false};

ProgramPaths currentPrograms()
{
    {
        std::lock_guard lock(testProgramsMutex);
        if (!testPrograms.probe.isEmpty())
            return testPrograms;
    }
    return installedPrograms();
}

QString seekTime(double duration)
{
    // The middle of the video; an unknown duration, or one whose half does not
    // fit the formatter's int seconds, falls back to 3 s in.
    const QString fallback = QStringLiteral("00:00:03");
    if (!(duration > 0))
        return fallback;
    const double half = duration * 0.5;
    if (!(half < 2147483648.0))
        return fallback;
    return formatDuration(static_cast<int>(half));
}

// These run in the started program's process, between fork and exec, so
// system calls only. The program yields the processor to the application's
// own threads, the capture's above all. SCHED_BATCH keeps its wake-ups from
// preempting anyone. The converter, which decodes video on every processor
// it can have, is also 10 steps nicer than the application: it then gets
// about a tenth of a processor that a thread of normal niceness wants too,
// and still every processor that nothing else wants. The probe only reads a
// file's header, and the videos page waits for it on the window's thread: as
// nice as the converter, it would queue behind the converter's threads and
// hold the window for seconds in a burst of new videos. Neither step needs a
// privilege; a step that fails leaves the program as it was.
void yieldAsProbe()
{
    const sched_param parameters{};
    sched_setscheduler(0, SCHED_BATCH, &parameters);
}

void yieldAsConverter()
{
    yieldAsProbe();
    if (nice(10) == -1) {
        // At the bottom of the scale already, or not allowed: as it is.
    }
}

// Thumbnail jobs that may run their programs at once. A burst of new videos
// queues a job for each on every thread of the pool; the others wait here.
QSemaphore& thumbnailProgramSlots()
{
    static QSemaphore programSlots(thumbnailProgramLimit());
    return programSlots;
}

// Called when a program overran its wait: kill it now rather than leave it to
// the QProcess destructor, which does the same but warns.
void stopProgram(QProcess& program)
{
    if (program.state() != QProcess::NotRunning) {
        program.kill();
        program.waitForFinished();
    }
}

// Waits for `program` up to the wait limit, looking every twentieth of a
// second whether Quit refused the programs meanwhile: a program that runs on
// past its wait, or past Quit, is killed. True when it ended by itself.
bool waitForProgram(QProcess& program)
{
    constexpr int slice = 50;
    QDeadlineTimer limit(programWaitLimit.load());
    while (!programsRefused.load()) {
        if (program.waitForFinished(int(qMin<qint64>(slice, limit.remainingTime()))))
            return true;
        if (limit.hasExpired() || program.state() == QProcess::NotRunning)
            break;
    }
    stopProgram(program);
    return false;
}

} // namespace

VideoFile::VideoFile(const QString& path) : path(path), info(path) {}

VideoFile::~VideoFile() = default;

bool VideoFile::readMediaInfo(MediaInfo& mediaInfo)
{
    QProcess probe;
    if (!startExternalProgram(probe, ExternalProgram::Probe, {QStringLiteral("-show_format"), path}))
        return false;
    // False also when the program could not be started.
    if (!waitForProgram(probe))
        return false;

    mediaInfo = MediaInfo{};
    QTextStream output(probe.readAllStandardOutput());
    while (!output.atEnd()) {
        const QString line = output.readLine();
        const QString value = line.mid(line.indexOf(QLatin1Char('=')) + 1);
        if (line.startsWith(QLatin1String("format_long_name=")))
            mediaInfo.formatLongName = value;
        else if (line.startsWith(QLatin1String("duration=")))
            mediaInfo.duration = value.toDouble();
        // Sizes of 2 GiB and more do not fit the int fields: held at the limit.
        else if (line.startsWith(QLatin1String("size=")))
            mediaInfo.size = saturatedInt(value.toDouble());
        else if (line.startsWith(QLatin1String("bit_rate=")))
            mediaInfo.bitRate = saturatedInt(value.toDouble());
    }
    return true;
}

QImage VideoFile::makeThumbnail(int maxWidth, int maxHeight)
{
    // A file found here may come from a version that kept whole frames: it
    // is fitted on loading, so that no row holds more than the box.
    const QString thumb = thumbnailPath(path);
    QImage image = loadThumbnail(thumb, maxWidth, maxHeight);
    if (!image.isNull())
        return image;

    QSemaphore& programSlots = thumbnailProgramSlots();
    programSlots.acquire();
    const QSemaphoreReleaser release(programSlots);
    // A job that waited for its slot past Quit has nothing left to do.
    if (programsRefused.load())
        return {};

    MediaInfo mediaInfo;
    const QString seek = readMediaInfo(mediaInfo) ? seekTime(mediaInfo.duration)
                                                  : QStringLiteral("00:00:03");

    // "-ss" before "-i" seeks in the input, to the keyframe before the seek
    // time, and decodes only from there; after it, the converter would decode
    // every frame from the start, which in a long video outlasts the wait.
    // The frame is scaled into the box (never enlarged) before it is written.
    // "-update 1" makes the image writer take the name as it is: otherwise it
    // reads "%d", "%03d" and "%%" in it, folders included, as a pattern for
    // numbered files, and names come from the wire.
    const QString scale = QStringLiteral("scale=w='min(%1,iw)':h='min(%2,ih)':force_original_aspect_ratio=decrease")
                              .arg(maxWidth).arg(maxHeight);
    QProcess converter;
    const bool started = startExternalProgram(
        converter, ExternalProgram::Converter,
        {QStringLiteral("-ss"), seek, QStringLiteral("-i"), path, QStringLiteral("-an"), QStringLiteral("-r"),
         QStringLiteral("1"), QStringLiteral("-vframes"), QStringLiteral("1"), QStringLiteral("-vf"), scale,
         QStringLiteral("-update"), QStringLiteral("1"), QStringLiteral("-y"), thumb});
    if (!started || !waitForProgram(converter))
        return {};

    // The exit code is not looked at: whether a frame was written shows in
    // whether it loads. An old unreadable file was overwritten ("-y").
    return loadThumbnail(thumb, maxWidth, maxHeight);
}

QString thumbnailPath(const QString& file)
{
    return QFileInfo(file).filePath() + QLatin1String("_thumb.jpg");
}

QString ffprobeProgram()
{
    return currentPrograms().probe;
}

QString ffmpegProgram()
{
    return currentPrograms().converter;
}

bool startExternalProgram(QProcess& process, ExternalProgram program, const QStringList& arguments)
{
    // The launchers check this themselves, but a launcher that started and
    // then found nothing to run would look like a program that ran and said
    // nothing (a probe with no keys, a conversion reported as started). As in
    // the launchers, an empty variable means the build's program.
    const bool isProbe = program == ExternalProgram::Probe;
    QString installed = qEnvironmentVariable(isProbe ? "VENDRAX_FFPROBE" : "VENDRAX_FFMPEG");
    if (installed.isEmpty())
        installed = QStringLiteral("%1").arg(isProbe ? VENDRAX_INSTALLED_FFPROBE : VENDRAX_INSTALLED_FFMPEG);
    const QFileInfo target(installed);
    if (!target.isFile() || !target.isExecutable() || programsRefused.load())
        return false;
    process.setChildProcessModifier(isProbe ? yieldAsProbe : yieldAsConverter);
    process.start(isProbe ? ffprobeProgram() : ffmpegProgram(), arguments, QIODevice::ReadWrite);
    return true;
}

int thumbnailProgramLimit()
{
    return qMax(1, QThread::idealThreadCount() / 2);
}

void refuseExternalPrograms(bool refuse)
{
    programsRefused.store(refuse);
}

void setExternalProgramsForTesting(const QString& probe, const QString& converter)
{
    std::lock_guard lock(testProgramsMutex);
    testPrograms = {probe, converter};
}

void setProgramWaitLimitForTesting(int milliseconds)
{
    programWaitLimit.store(milliseconds);
}
