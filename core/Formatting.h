#pragma once

#include <QString>
#include <QtGlobal>

// Short texts for durations, site domains and sizes. Stateless; callable from
// any thread.

// Seconds as "hh:mm:ss" (hours keep all their digits; negative input gives
// negative fields, e.g. -61 -> "00:-1:-1").
QString formatDuration(int seconds);

// The site's domain: the last two labels of `host`, or the last three when
// the second-to-last label is "com" in any case. Hosts of one or two labels
// come back whole, and so does an address (IPv4 dotted quad or bracketed
// IPv6, with or without a port): its labels name no site. User-info in front
// of an "@" is dropped. With `capitalize`, the first character is upper-cased.
QString domainFromHost(const QString& host, bool capitalize);

// A byte count ("bytes", "KB".."TB") or, with `bits`, a bit count ("bytes",
// "KBit".."TBit") in steps of 1024 with one decimal, e.g. "1.5 KB".
QString formatSize(qint64 value, bool bits);
