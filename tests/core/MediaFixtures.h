#pragma once

// Helpers shared by the media tests: the launchers the build puts beside the
// executable, tiny videos made with ffmpeg's own test sources, and small
// shell scripts that stand in for the probe and the converter.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>

namespace media_fixtures {

inline QString launcher(const char* program)
{
    return QStringLiteral(VENDRAX_EXTERNAL_PROGRAMS_DIR "/") + QLatin1String(program);
}

// A video of `seconds` with a test picture of `size` and a tone (unless
// without sound), H.264 and AAC in the container that the file name's
// extension selects.
inline bool makeTestVideo(const QString& path, QSize size, int seconds = 2, bool withSound = true)
{
    const QString duration = QString::number(seconds);
    QStringList arguments = {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                             QStringLiteral("-y"), QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                             QStringLiteral("testsrc=duration=%1:size=%2x%3:rate=25")
                                 .arg(duration).arg(size.width()).arg(size.height())};
    if (withSound)
        arguments << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i")
                  << QStringLiteral("sine=frequency=440:duration=%1").arg(duration) << QStringLiteral("-c:a")
                  << QStringLiteral("aac") << QStringLiteral("-shortest");
    arguments << QStringLiteral("-c:v") << QStringLiteral("libx264") << QStringLiteral("-pix_fmt")
              << QStringLiteral("yuv420p") << path;
    QProcess ffmpeg;
    ffmpeg.start(launcher("ffmpeg"), arguments);
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
           ffmpeg.exitCode() == 0 && QFile::exists(path);
}

// Writes an executable POSIX shell script and returns its path.
inline QString writeScript(const QString& folder, const QString& name, const QString& body)
{
    const QString path = folder + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write("#!/bin/sh\n");
    file.write(body.toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                        QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return path;
}

// Quotes a text for a shell script.
inline QString shellQuoted(QString text)
{
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}

} // namespace media_fixtures
