#pragma once

#include <QString>

// Names of kept files made from what the network sent. The Host header and the
// Content-Type subtype are whatever a client or a server on the watched
// network chose, and the data folder may live on any file system (ext4,
// exFAT, NTFS, an SMB share), so in a name made from them every control
// character and every one of / \ : < > " | ? * becomes "_", leading dots and
// trailing dots and blanks go, a device name of those systems (CON, NUL,
// COM1, ...) gets "_" in front, and the name stays within a path
// component's 255 bytes (of UTF-8). Stateless; callable from any thread.

// The host a Host header value names, for comparing with lists of sites:
// without user-info, its port and trailing dots (a fully qualified "name."),
// in lower case, so that none of them changes which rule a response falls
// under.
QString siteHost(const QString& host);

// The folder of a site's kept files: the site's domain (domainFromHost, case
// as sent) of a Host header value without user-info and port, so every port
// of a site shares one folder; an IP address stays whole. "_" when nothing is left (the "?" of a request without a
// Host included). At most 255 bytes.
QString siteFolderName(const QString& host);

// The site's part of a kept file's name: siteFolderName lower-cased, at most
// 160 bytes, which leaves room for the number and the extension.
QString siteNamePrefix(const QString& host);

// A content subtype as a file extension, at most 64 bytes; empty when nothing
// usable is left.
QString safeExtension(const QString& subtype);
