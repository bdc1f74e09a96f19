#include "SafeNames.h"

#include <QStringList>

#include "Formatting.h"

namespace {

// A name component of every file system concerned: 255 bytes of UTF-8 on
// ext4 (exFAT and NTFS count 255 UTF-16 units, never fewer than the bytes).
constexpr qsizetype componentLimit = 255;
// The site prefix and the extension share a file name with "_", the number
// (at most 19 digits) and "."; these bounds keep the whole within 255 bytes.
constexpr qsizetype prefixLimit = 160;
constexpr qsizetype extensionLimit = 64;

// Refused in names by exFAT, NTFS or SMB (and "/" and NUL by every system).
// Control characters (C0, DEL and C1) are refused as well: some of those
// systems refuse them, and nothing shows them.
bool isRefused(QChar c)
{
    static const QString refused = QStringLiteral("/\\:<>\"|?*");
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u < 0xa0) || refused.contains(c);
}

// Windows (and so NTFS and SMB shares it serves) refuses these as the part of
// a name before its first dot, whatever the case.
bool isDeviceName(const QString& name)
{
    const QString stem = name.section(QLatin1Char('.'), 0, 0).toUpper();
    static const QStringList devices = {QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                        QStringLiteral("NUL")};
    if (devices.contains(stem))
        return true;
    return stem.size() == 4 && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT")))
        && stem[3].isDigit();
}

// Cuts `name` to at most `limit` bytes of UTF-8, on a character boundary.
void truncateToBytes(QString& name, qsizetype limit)
{
    qsizetype bytes = 0;
    qsizetype end = 0;
    while (end < name.size()) {
        const char16_t u = name[end].unicode();
        qsizetype width = u < 0x80 ? 1 : u < 0x800 ? 2 : 3;
        qsizetype units = 1;
        if (QChar::isHighSurrogate(u) && end + 1 < name.size() && QChar::isLowSurrogate(name[end + 1].unicode())) {
            width = 4;
            units = 2;
        }
        if (bytes + width > limit)
            break;
        bytes += width;
        end += units;
    }
    name.truncate(end);
}

bool isDotOrBlank(QChar c)
{
    return c == QLatin1Char('.') || c == QLatin1Char(' ');
}

QString reduced(const QString& text, qsizetype limit)
{
    QString name;
    name.reserve(text.size());
    for (const QChar c : text)
        name += isRefused(c) ? QLatin1Char('_') : c;
    // "." and ".." are folders of their own and a leading dot hides the file;
    // Windows drops a trailing dot or blank, so the name written would not be
    // the name reported.
    while (!name.isEmpty() && name.front() == QLatin1Char('.'))
        name.remove(0, 1);
    if (isDeviceName(name))
        name.prepend(QLatin1Char('_'));
    truncateToBytes(name, limit);
    while (!name.isEmpty() && isDotOrBlank(name.back()))
        name.chop(1);
    return name;
}

// "host", "host:port", "[v6 address]" or "[v6 address]:port" (RFC 7230
// section 5.4). User-info in front of an "@", which a Host header has no
// place for, goes first: "user:pass@host" names the host, not "user".
QString withoutPort(const QString& hostAsSent)
{
    const QString host = hostAsSent.mid(hostAsSent.lastIndexOf(QLatin1Char('@')) + 1);
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype end = host.indexOf(QLatin1Char(']'));
        return end < 0 ? host : host.left(end + 1);
    }
    return host.section(QLatin1Char(':'), 0, 0);
}

}  // namespace

QString siteHost(const QString& host)
{
    QString name = withoutPort(host).toLower();
    while (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    return name;
}

namespace {

QString siteName(const QString& host, qsizetype limit)
{
    const QString name = reduced(domainFromHost(withoutPort(host), false), limit);
    return name.isEmpty() ? QStringLiteral("_") : name;
}

}  // namespace

QString siteFolderName(const QString& host)
{
    return siteName(host, componentLimit);
}

QString siteNamePrefix(const QString& host)
{
    return siteName(host.toLower(), prefixLimit);
}

QString safeExtension(const QString& subtype)
{
    return reduced(subtype, extensionLimit);
}
