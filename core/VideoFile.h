#pragma once

#include <QFileInfo>
#include <QImage>
#include <QString>
#include <QStringList>

class QProcess;

// What the media probe tells about a video file.
struct MediaInfo {
    QString formatLongName; // the container's long name, as the probe prints it
    double duration = 0.0;  // seconds
    int size = 0;           // bytes; saturated at the limits of int
    int bitRate = 0;        // bits per second; saturated at the limits of int
};

// One video file on disk, asked about through the probe and the converter
// programs beside the executable. Both operations start a process and wait
// for it on the calling thread (no event loop needed), so they block; they
// may run on several threads at once, each call owning its process. Neither
// shows a message nor throws: failures show only in the results.
class VideoFile {
public:
    explicit VideoFile(const QString& path);
    ~VideoFile();

    // Runs "ffprobe -show_format <path>" for at most 30 s and reads the
    // format_long_name=, duration=, size= and bit_rate= lines of its output.
    // False when the probe did not start or did not end in time; `mediaInfo`
    // is then untouched. A probe that ended gives true whatever its exit code,
    // with empty or zero fields for keys it did not print.
    bool readMediaInfo(MediaInfo& mediaInfo);

    // The frame image beside the video (thumbnailPath), when it can be
    // loaded. Otherwise one frame from the middle of the video (or 3 s in
    // when the duration is unknown) is written there by the converter, scaled
    // down to fit maxWidth x maxHeight, under the file name exactly as it is
    // ("%" signs included). Either way the image returned fits maxWidth x
    // maxHeight, keeping its aspect ratio (a larger file is scaled down on
    // loading and left as it is on disk). A null image when no frame could
    // be made. Blocks for up to two program waits. At most
    // thumbnailProgramLimit() calls run their programs at once; a call
    // beyond that first waits for one of them to end.
    QImage makeThumbnail(int maxWidth, int maxHeight);

private:
    QString path;
    QFileInfo info;
};

// The thumbnail file of a video: its path followed by "_thumb.jpg".
QString thumbnailPath(const QString& file);

// Absolute paths of the probe and the converter: "3rdparty/ffprobe" and
// "3rdparty/ffmpeg" in the executable's folder. Made on first use; safe to
// call from any thread.
QString ffprobeProgram();
QString ffmpegProgram();

// Starts the probe or the converter with `arguments` on `process` (read and
// write, channels apart). Those two are launchers that run the installed
// programs: the paths in VENDRAX_FFPROBE and VENDRAX_FFMPEG, or the build's
// (/usr/bin/ffprobe, /usr/bin/ffmpeg). When that installed program is missing
// nothing is started and the result is false: callers treat it as a program
// that did not start (a wait for the process fails at once as well). The
// program runs at a lower priority than the application, so that it does not
// take a processor from the capture: in the batch class (SCHED_BATCH), whose
// wake-ups preempt no one, and the converter also 10 steps nicer. Any
// thread; the process must belong to the calling thread.
enum class ExternalProgram { Probe, Converter };
bool startExternalProgram(QProcess& process, ExternalProgram program, const QStringList& arguments);

// How many calls of VideoFile::makeThumbnail may run their programs at
// once: half the processors, at least one. So a burst of new videos leaves
// the capture processors of its own. The probe that the videos page runs on
// its own thread for each new video is not counted: one at a time.
int thumbnailProgramLimit();

// Quit: from refuseExternalPrograms(true) on, startExternalProgram starts
// nothing, and the probes and thumbnails of VideoFile that run kill their
// programs within a twentieth of a second, failing as a program that overran
// its wait; so no job of the thread pool, nor the window's thread, keeps the
// process waiting for a program. refuseExternalPrograms(false) allows them
// again (a new window). A conversion that runs is its owner's to end. Any
// thread.
void refuseExternalPrograms(bool refuse);

// Test seams. Point the two programs elsewhere (empty strings restore the
// programs beside the executable), and shorten the 30 s wait for a program.
// Call only while no probe or conversion runs.
void setExternalProgramsForTesting(const QString& probe, const QString& converter);
void setProgramWaitLimitForTesting(int milliseconds);
