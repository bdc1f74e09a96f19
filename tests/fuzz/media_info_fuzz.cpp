// The reading of the media probe's output: the input is what the probe prints
// on its standard output. The probe is a small script that prints the file it
// is asked about, so each input goes through the real process and text
// stream, as a probe's output does.
//
// Checked besides memory safety: the probe ends, so readMediaInfo answers
// true, and a value of "size=" or "bit_rate=" lines outside int range is held
// at the int limits rather than wrapped.
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstdint>
#include <cstdlib>

#include "VideoFile.h"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

QString scratch;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    scratch = QDir::tempPath();
    const QString probe = scratch + QStringLiteral("/fuzz-probe.sh");
    QFile script(probe);
    require(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    // Called as "probe -show_format FILE".
    script.write("#!/bin/sh\nexec cat \"$2\"\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setExternalProgramsForTesting(probe, QString());
    setProgramWaitLimitForTesting(10000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString path = scratch + QStringLiteral("/fuzz-probe-output.txt");
    QFile output(path);
    require(output.open(QIODevice::WriteOnly | QIODevice::Truncate));
    output.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    output.close();

    MediaInfo info;
    info.formatLongName = QStringLiteral("untouched");
    require(VideoFile(path).readMediaInfo(info));
    if (!QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).contains("format_long_name="))
        require(info.formatLongName.isEmpty());
    return 0;
}
