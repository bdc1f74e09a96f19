#include "FFMpegConverter.h"

#include "Saturation.h"
#include "VideoFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <atomic>
#include <cstdio>

namespace {

// The forty presets, then the row that ends every walk over the table.
// Some options belong to an older converter; the launcher beside the
// executable maps them for the installed one.
const DevicePreset devicePresets[] = {
    {"QuickTime",
     "-y -i \"%1\" -vcodec copy -acodec copy \"%2\"",
     "_QuickTime.mov"},
    {"Apple TV - 720x480",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 720x480 -b 4000000 -acodec libvo_aacenc -ab 128000 -ar 48000 -ac 2 -f mp4 \"%2\"",
     "_AppleTV_720x480.mp4"},
    {"Apple TV - 1280x720",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 24.00 -s 1280x720 -b 4000000 -acodec libvo_aacenc -ab 128000 -ar 48000 -ac 2 -f mp4 \"%2\"",
     "_AppleTV_1280x720.mp4"},
    {"iPad - 768x576",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 768x576 -b 4000000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPad_768x576.mp4"},
    {"iPad - 1280x720",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 1280x720 -b 4000000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPad_1280x720.mp4"},
    {"iPhone - 480x320",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 480x320 -b 1000000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPhone_480x320.mp4"},
    {"iPhone 3G - 480x320",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 30.00 -s 480x320 -b 900000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPhone3G_480x320.mp4"},
    {"iPhone 3GS - 480x320",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 480x320 -b 2000000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPhone3GS_480x320.mp4"},
    {"iPhone 4 - 960x640",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 30.00 -s 960x640 -b 900000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPhone4_960x640.mp4"},
    {"iPod Classic - 320x240",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 30.00 -s 320x240 -b 900000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPod_320x240.mp4"},
    {"iPod Nano - 320x240",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 30.00 -s 320x240 -b 900000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPod_Nano_320x240.mp4"},
    {"iPod Nano V4 - 640x480",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 640x480 -b 900000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPod_NanoV4_640x480.mp4"},
    {"iPod Touch - 480x320",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 30.00 -s 480x320 -b 1000000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPod_Touch_480x320.mp4"},
    {"iPod Touch V2 - 640x480",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 640x480 -b 1000000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iPod_TouchV2_640x480.mp4"},
    {"Android Phones - 720x480",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 23.97 -s 720x480 -b 1500000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_Android_720x480.mp4"},
    {"Nokia Phones - 320x240",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 15.00 -s 320x240 -b 640000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_Nokia_320x240.mp4"},
    {"BlackBerry Storm - 480x360",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 15.00 -s 480x360 -b 256000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_BlackBerry_Storm_480x360.mp4"},
    {"BlackBerry Bold - 480x320",
     "-y -i \"%1\" -ss 0.00 -vcodec libxvid -r 15.00 -s 480x320 -b 256000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_BlackBerry_Bold_480x320.mp4"},
    {"Zune - 320x240",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 320x240 -b 1200000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_Zune_320x240.mp4"},
    {"Zune V2 - 640x480",
     "-y -i \"%1\" -ss 0.00 -vcodec mpeg4 -r 29.97 -s 640x480 -b 1500000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_ZuneV2_640x480.mp4"},
    {"Creative ZEN - 320x240",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 320x240 -b 768000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_CreativeZEN_320x240.mp4"},
    {"Creative ZEN - 480x272",
     "-y -i \"%1\" -ss 0.00 -vcodec libxvid -r 29.97 -s 480x272 -b 1000000 -acodec libmp3lame -ab 128000 -ar 44100 -ac 2 -f avi \"%2\"",
     "_CreativeZEN_480x272.avi"},
    {"Palm Pre - 480x320",
     "-y -i \"%1\" -ss 0.00 -vcodec libxvid -r 15.00 -s 480x320 -b 256000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_PalmPre_480x320.mp4"},
    {"Sony Walkman - 320x240",
     "-y -i \"%1\" -ss 0.00 -vcodec libxvid -r 30.00 -s 320x240 -b 768000 -acodec libvo_aacenc -ab 96000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_SonyWalkman_320x240.mp4"},
    {"Archos - 800x480",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 800x480 -b 3000000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_Archos_800x480.mp4"},
    {"iRiver - 320x240",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 30.00 -s 320x240 -b 768000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f mp4 \"%2\"",
     "_iRiver_320x240.mp4"},
    {"Wii - 720x480",
     "-y -i \"%1\" -ss 0.00 -vcodec mjpeg -r 29.97 -s 720x480 -b 4000000 -acodec pcm_s16le -ab 128000 -ar 44100 -ac 2 -f mov \"%2\"",
     "_Wii_720x480.mov"},
    {"XBox360 - 720x480",
     "-y -i \"%1\" -ss 0.00 -vcodec wmv2 -r 29.97 -s 720x480 -b 2000000 -acodec wmav1 -ab 128000 -ar 44100 -ac 2 \"%2\"",
     "_XBox360_720x480.wma"},
    {"XBox360 - 1280x720",
     "-y -i \"%1\" -ss 0.00 -vcodec wmv2 -r 29.97 -s 1280x720 -b 4000000 -acodec wmav1 -ab 128000 -ar 44100 -ac 2 \"%2\"",
     "_XBox360_1280x720.wma"},
    {"PS3 - 720x480",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 720x480 -b 1200000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f psp \"%2\"",
     "_PS3_720x480.mp4"},
    {"PS3 - 1280x720",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 1280x720 -b 4000000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f psp \"%2\"",
     "_PS3_1280x720.mp4"},
    {"PS3 - 1920x1080",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 1920x1080 -b 4000000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f psp \"%2\"",
     "_PS3_1920x1080.mp4"},
    {"PSP - 480x272",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 480x272 -b 768000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f psp \"%2\"",
     "_PSP_480x272.mp4"},
    {"PSP 3000 - 480x272",
     "-y -i \"%1\" -ss 0.00 -vcodec libx264 -r 29.97 -s 480x272 -b 900000 -acodec libvo_aacenc -ab 128000 -ar 44100 -ac 2 -f psp \"%2\"",
     "_PSP_480x272.mp4"},
    {"MP3 - 256 kbps (Best)",
     "-y -i \"%1\" -ss 0.00 -vn -acodec libmp3lame -ab 256000 -ar 48000 -ac 2 -f mp3 \"%2\"",
     "_MP3_256kbps.mp3"},
    {"MP3 - 192kbps (Optimal)",
     "-y -i \"%1\" -ss 0.00 -vn -acodec libmp3lame -ab 192000 -ar 48000 -ac 2 -f mp3 \"%2\"",
     "_MP3_192kbps.mp3"},
    {"MP3 - 128kbps (Good)",
     "-y -i \"%1\" -ss 0.00 -vn -acodec libmp3lame -ab 128000 -ar 44100 -ac 2 -f mp3 \"%2\"",
     "_MP3_128kbps.mp3"},
    {"MPEG4",
     "-y -i \"%1\" -sameq -f mp4 \"%2\"",
     ".mpeg"},
    {"MPEG1",
     "-y -i \"%1\" -sameq -f mpeg \"%2\"",
     ".mpeg"},
    {"Windows Media Video",
     "-y -i \"%1\" -vcodec wmv2 -acodec wmav2 -sameq \"%2\"",
     ".wmv"},
    {nullptr, nullptr, nullptr},
};

// hours * 3600 + minutes * 60 + seconds, from the three captures of a
// "h:m:s.f" match, truncated toward zero. The captures are digit runs of any
// length, so the sum is made in floating point and held within int.
int secondsOf(const QRegularExpressionMatch& match)
{
    return saturatedInt(match.captured(1).toInt() * 3600.0 + match.captured(2).toInt() * 60.0 +
                        match.captured(3).toDouble());
}

// A name beside `output` for the file being written: hidden, unique to this
// process and this run, and ending in the output's extension, from which the
// program picks the container when the preset names none.
QString partialFileFor(const QString& output)
{
    static std::atomic<unsigned> runs{0};
    const int slash = output.lastIndexOf(QLatin1Char('/'));
    const QFileInfo name(output.mid(slash + 1));
    return output.left(slash + 1) + QLatin1Char('.') + name.completeBaseName() +
           QStringLiteral(".partial-%1-%2.").arg(QCoreApplication::applicationPid()).arg(++runs) + name.suffix();
}

} // namespace

const QString FFMpegConverter::playPresetName = QStringLiteral("Windows Media Video");

FFMpegConverter::FFMpegConverter(const QStringList& files, const QString& outputDirectory,
                                 const QString& presetName, QObject* parent)
    : QObject(parent),
      pendingFiles(files),
      outputDirectory(outputDirectory),
      presetName(presetName),
      totalFiles(files.size())
{
}

FFMpegConverter::~FFMpegConverter()
{
    // Destroyed mid-run (its page or the window closed): the program goes
    // with it, and so does what it wrote.
    stopProgram();
    removePartialFile();
}

QStringList FFMpegConverter::presetNames()
{
    QStringList names;
    for (const DevicePreset* preset = devicePresets; preset->name; ++preset)
        names.append(QLatin1String(preset->name));
    return names;
}

DevicePreset FFMpegConverter::findPreset(const QString& name)
{
    const DevicePreset* preset = devicePresets;
    while (preset->name && name != QLatin1String(preset->name))
        ++preset;
    return *preset;
}

QString FFMpegConverter::outputFileName(const QString& folder, const QString& inputFile,
                                        const QString& presetName)
{
    const DevicePreset preset = findPreset(presetName);
    return QDir::fromNativeSeparators(folder) + QLatin1Char('/') +
           QFileInfo(inputFile).fileName().replace(QLatin1Char('.'), QLatin1Char('_')) +
           QLatin1String(preset.suffix); // a null suffix appends nothing
}

void FFMpegConverter::start()
{
    if (pendingFiles.isEmpty()) {
        emit conversionFinished(0);
        return;
    }
    const DevicePreset preset = findPreset(presetName);
    if (!preset.name) {
        emit conversionFinished(1);
        return;
    }

    duration = 0;
    standardError.clear();
    const QString input = pendingFiles.takeFirst();
    outputFile = outputFileName(outputDirectory, input, presetName);
    // The program writes beside the output and the file takes its place only
    // once complete: a run that fails, is cancelled or is cut short leaves
    // nothing under the output's name, and an earlier output untouched (the
    // templates begin with "-y", which truncates the file named).
    partialFile = partialFileFor(outputFile);

    // The template is split first, its quotes grouping each quoted place
    // marker into one argument, and the paths are put in afterwards: a path
    // with blanks, quotes or "%" signs of its own (names taken from URLs often
    // hold "%2F") stays one argument and is never read as a marker.
    QStringList arguments = QProcess::splitCommand(QString::fromLatin1(preset.arguments));
    for (QString& argument : arguments) {
        if (argument == QLatin1String("%1"))
            argument = input;
        else if (argument == QLatin1String("%2"))
            argument = partialFile;
    }

    process = new QProcess(this);
    connect(process, &QProcess::readyReadStandardError, this, &FFMpegConverter::readStderr);
    // A program killed by a signal has no exit code of its own; it counts as
    // a failure, never as code 0.
    connect(process, &QProcess::finished, this,
            [this](int exitCode, QProcess::ExitStatus status) {
                finished(status == QProcess::NormalExit || exitCode != 0 ? exitCode : 1);
            });
    if (!startExternalProgram(*process, ExternalProgram::Converter, arguments) || !process->waitForStarted(-1)
        || process->state() == QProcess::NotRunning) {
        removePartialFile();
        emit conversionFinished(2);
        return;
    }
    ++currentFile;
    emit conversionStarted(currentFile, totalFiles);
}

void FFMpegConverter::finished(int error)
{
    // rename(2) replaces an earlier output in one step; a program that
    // exited with 0 without writing anything has not converted the file.
    if (error != 0 || std::rename(QFile::encodeName(partialFile).constData(),
                                  QFile::encodeName(outputFile).constData()) != 0) {
        // What a failed run leaves is no video (a header, a part of one).
        removePartialFile();
        emit conversionFinished(2);
        return;
    }
    partialFile.clear();
    start();
}

void FFMpegConverter::readStderr()
{
    appendStandardError(process->readAllStandardError());
}

void FFMpegConverter::appendStandardError(const QByteArray& bytes)
{
    static const QRegularExpression durationPattern(
        QStringLiteral("Duration: ([0-9]*):([0-9]*):([0-9]*\\.[0-9]*)"));
    static const QRegularExpression timePattern(
        QStringLiteral("time=([0-9]*):([0-9]*):([0-9]*\\.[0-9]*)"));

    standardError += QString::fromLatin1(bytes.constData(), qstrnlen(bytes.constData(), bytes.size()));

    // The program prints the input's duration once, before its progress lines.
    if (duration == 0) {
        const QRegularExpressionMatch match = durationPattern.match(standardError);
        if (match.hasMatch())
            duration = secondsOf(match);
    }

    // Only the latest progress line of a read counts; everything up to its end
    // is consumed, so the kept text never grows past one unfinished line.
    QRegularExpressionMatch last;
    for (QRegularExpressionMatchIterator it = timePattern.globalMatch(standardError); it.hasNext();)
        last = it.next();
    if (!last.hasMatch())
        return;
    standardError.remove(0, last.capturedEnd());
    const int reached = secondsOf(last);
    if (duration > 0)
        emit conversionProgress(reached, duration);
}

void FFMpegConverter::cancel()
{
    stopProgram();
    removePartialFile();
}

void FFMpegConverter::stopProgram()
{
    if (process && process->state() != QProcess::NotRunning) {
        // Blocked first, so that the killed program's end does not start the
        // next file nor report a failure.
        process->blockSignals(true);
        process->kill();
        process->waitForFinished(30000);
    }
}

void FFMpegConverter::removePartialFile()
{
    // Empty: nothing started yet, or the last file was moved into place.
    if (!partialFile.isEmpty())
        QFile::remove(partialFile);
    partialFile.clear();
}
