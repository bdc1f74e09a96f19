#include "tests/e2e/site_media.hpp"

#include "tests/e2e/test_network.hpp"

#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

QByteArray fetch(const char* host, const QString& path)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(80);
    inet_pton(AF_INET, e2e::site_address, &server.sin_addr);
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    QByteArray received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
        const QByteArray request = "GET " + path.toLatin1() + " HTTP/1.1\r\nHost: " + host
            + "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\nAccept: */*\r\n\r\n";
        if (::send(fd, request.data(), std::size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
            char buffer[65536];
            qsizetype wanted = -1;
            while (wanted < 0 || received.size() < wanted) {
                const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                received.append(buffer, got);
                const qsizetype headEnd = received.indexOf("\r\n\r\n");
                if (wanted < 0 && headEnd >= 0) {
                    static const QRegularExpression length(QStringLiteral("\r\ncontent-length:\\s*(\\d+)"),
                                                           QRegularExpression::CaseInsensitiveOption);
                    const auto match = length.match(QString::fromLatin1(received.left(headEnd + 2)));
                    if (!match.hasMatch())
                        break;
                    wanted = headEnd + 4 + match.captured(1).toLongLong();
                }
            }
            if (wanted < 0 || received.size() != wanted)
                received.clear();
            else
                received.remove(0, received.indexOf("\r\n\r\n") + 4);
        }
    }
    ::close(fd);
    return received;
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
