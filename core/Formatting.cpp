#include "Formatting.h"

#include <QStringList>

QString formatDuration(int seconds)
{
    // Integer division truncates toward zero and the remainder keeps the
    // dividend's sign, so a negative duration prints as negative fields.
    const int hours = seconds / 3600;
    const int rest = seconds % 3600;
    return QString::asprintf("%02d:%02d:%02d", hours, rest / 60, rest % 60);
}

namespace {

// "a.b.c.d" of four decimal numbers up to 255, optionally with ":port".
bool isIpv4Address(const QString& host)
{
    const QStringList parts = host.section(QLatin1Char(':'), 0, 0).split(QLatin1Char('.'));
    if (parts.size() != 4)
        return false;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3 || part.toUInt() > 255)
            return false;
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
    }
    return true;
}

}  // namespace

QString domainFromHost(const QString& hostAsSent, bool capitalize)
{
    // A client may send "user:password@host": the credentials name nothing.
    const QString host = hostAsSent.mid(hostAsSent.lastIndexOf(QLatin1Char('@')) + 1);
    // Empty labels count: "s..t" has three parts and gives ".t".
    const QStringList parts = host.split(QLatin1Char('.'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    QString result = host;
    const qsizetype n = parts.size();
    // Two servers whose addresses end alike ("192.168.1.10", "10.0.1.10")
    // are two sites.
    if (n > 2 && !host.startsWith(QLatin1Char('[')) && !isIpv4Address(host)) {
        result = parts[n - 2] + QLatin1Char('.') + parts[n - 1];
        // Second-level "com" under a country code (example.com.au): keep the
        // label in front of it, otherwise every such site would share "com.au".
        if (parts[n - 2].toLower() == QLatin1String("com"))
            result = parts[n - 3] + QLatin1Char('.') + result;
    }
    if (capitalize)
        return result.left(1).toUpper() + result.mid(1);
    return result;
}

QString formatSize(qint64 value, bool bits)
{
    static const char* const byteUnits[] = {"KB", "MB", "GB", "TB"};
    static const char* const bitUnits[] = {"KBit", "MBit", "GBit", "TBit"};
    const char* const* units = bits ? bitUnits : byteUnits;

    // Single precision on purpose: the texts are those of a float scaled by
    // 1/1024, so e.g. 16777217 and 16777216 print the same.
    float scaled = static_cast<float>(value);
    const float step = 0.0009765625f;
    QString unit = QStringLiteral("bytes");
    for (int next = 0; scaled >= 1024.0f && next < 4; ++next) {
        unit = QLatin1String(units[next]);
        scaled *= step;
    }
    return QString::number(static_cast<double>(scaled), 'f', 1) + QLatin1Char(' ') + unit;
}
