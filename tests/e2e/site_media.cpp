#include "tests/e2e/site_media.hpp"

#include "tests/e2e/test_network.hpp"
#include "tests/support/http_get.hpp"

#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>


namespace e2e {

QByteArray fetch(const char* host, const QString& path)
{
    return QByteArray::fromStdString(test_support::http_get(
        e2e::site_address, 80, host, path.toStdString(), "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\nAccept: */*\r\n"));
}

QImage noise(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator generator(7);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, generator.generate() | 0xff000000u);
    return image;
}

QByteArray encoded(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 90);
    return bytes;
}

QByteArray testVideo(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral(VENDRAX_EXTERNAL_PROGRAMS_DIR "/ffmpeg"),
                 {"-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                  "testsrc=duration=2:size=320x240:rate=25", "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                  "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", "-movflags", "+faststart",
                  path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0)
        return {};
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace e2e
