#include "HttpResource.h"

#include <mutex>

#include <QDateTime>
#include <QDebug>
#include <QRegularExpression>
#include <QStringList>

#include "SafeNames.h"
#include "mediacap/http/http_tuple.hpp"

namespace {

struct ContentTypeParts {
    QString major;
    QString minor;
    bool isVideo = false;
    bool isAudio = false;
    bool isImage = false;
};

ContentTypeParts parseContentType(const QString& value)
{
    static const QRegularExpression separators(QStringLiteral("[/;]"));
    ContentTypeParts type;
    const QStringList parts = value.split(separators, Qt::KeepEmptyParts);
    if (parts.size() < 2) {
        // No separator at all: the whole value only serves as the extension.
        type.minor = parts.value(0);
        return type;
    }
    type.major = parts[0];
    type.minor = parts[1];
    // Exact, case-sensitive comparisons on the value as sent. Some Flash
    // servers label their videos with non-standard application types; those
    // count only when the header holds nothing else.
    type.isVideo = type.major == QLatin1String("video") || type.major == QLatin1String("mpeg")
        || type.major == QLatin1String("divx") || type.major == QLatin1String("webm")
        || value == QLatin1String("flv-application/octet-stream")
        || value == QLatin1String("application/flv") || value == QLatin1String("application/f4v");
    type.isAudio = type.major == QLatin1String("audio");
    type.isImage = type.major == QLatin1String("image");
    return type;
}

QString headerValue(const mediacap::http::header_map& headers, const char* name, bool* found = nullptr)
{
    const auto it = headers.find(name);
    if (found)
        *found = it != headers.end();
    return it == headers.end() ? QString() : QString::fromLatin1(it->second.data(), qsizetype(it->second.size()));
}

// The number in a generated name is the clock in milliseconds plus a counter
// that grows by one per name. The capture thread and the download threads
// build names at the same time; reading the clock and taking the counter
// under one lock makes the sums strictly increase in the order they are
// handed out, so two threads can never get the same number (with the clock
// and the counter read apart, one thread could pair t with c+1 while another
// pairs t+1 with c).
qint64 nextNameNumber()
{
    static std::mutex lock;
    static quint32 nameCounter = 0;
    std::lock_guard<std::mutex> guard(lock);
    const qint64 number = QDateTime::currentMSecsSinceEpoch() + qint64(nameCounter);
    ++nameCounter;  // wraps at 2^32
    return number;
}

}  // namespace

HttpResource::HttpResource(const mediacap::http::http_tuple& exchange)
{
    const ContentTypeParts type = parseContentType(headerValue(exchange.response.headers, "Content-Type"));
    if (type.isVideo || type.isAudio)
        qDebug() << "media response" << QString::fromLatin1(exchange.request.path.c_str())
                 << QStringLiteral("%1/%2").arg(type.major, type.minor);

    bool hasHost = false;
    const QString hostValue = headerValue(exchange.request.headers, "Host", &hasHost);
    host = hasHost ? hostValue : QStringLiteral("?");

    QString prefix;
    if (host != QLatin1String("?"))
        prefix = siteNamePrefix(host) + QLatin1Char('_');
    QString minor = type.minor;
    QString extension = safeExtension(minor.remove(QLatin1String("x-")));
    if (extension.isEmpty())
        extension = QStringLiteral("unknown");
    name = prefix + QStringLiteral("%1").arg(nextNameNumber()) + QLatin1Char('.') + extension;

    isVideo = type.isVideo;
    isAudio = type.isAudio;
    isImage = type.isImage;

    bool converted = false;
    const qint32 length = headerValue(exchange.response.headers, "Content-Length").toInt(&converted, 10);
    size = converted ? length : 0;
}

void registerHttpResourceMetaType()
{
    qRegisterMetaType<HttpResource>("HttpResource");
}
