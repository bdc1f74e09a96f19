// The converter's reading of its program's standard error, over any text cut
// into any reads: the input's duration, then the times reached.
//
// Input: script records (script_input.hpp); each payload is one read.
//
// Checked besides memory safety: progress is reported only once a duration
// greater than 0 was read, always with that same duration, and at most once
// per read.
#include <QByteArray>
#include <QCoreApplication>

#include <cstdint>
#include <cstdlib>

#include "FFMpegConverter.h"
#include "tests/fuzz/script_input.hpp"

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FFMpegConverter converter({}, QString(), FFMpegConverter::playPresetName);
    int reports = 0;
    int duration = 0;
    QObject::connect(&converter, &FFMpegConverter::conversionProgress, [&](int, int total) {
        require(total > 0);
        require(duration == 0 || duration == total);
        duration = total;
        ++reports;
    });
    fuzz::script_input script(data, size);
    std::uint8_t op;
    std::string_view read;
    while (script.next(op, read, [](std::uint8_t) { return true; })) {
        const int before = reports;
        converter.appendStandardError(QByteArray(read.data(), static_cast<qsizetype>(read.size())));
        require(reports - before <= 1);
    }
    return 0;
}
