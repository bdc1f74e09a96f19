#pragma once

#include <QMetaType>
#include <QString>
#include <QtGlobal>

namespace mediacap::http {
struct http_tuple;
}

// What the application knows about one HTTP response: its kind of media, its
// site, its declared size and the file name it is stored under. A plain value;
// queued signals carry copies of it across threads (metatype "HttpResource").
class HttpResource {
public:
    HttpResource() = default;

    // Describes `exchange` and generates a new file name for it: the site's
    // domain and "_" (no prefix without a Host header), a number unique in this
    // process, and the content subtype as extension ("unknown" without one),
    // the domain and the subtype reduced as SafeNames.h says. Safe to call
    // from several threads at once.
    explicit HttpResource(const mediacap::http::http_tuple& exchange);

    QString name;
    QString host;          // the Host header as received, "?" when there is none
    bool isVideo = false;
    bool isAudio = false;
    bool isImage = false;
    qint32 size = 0;       // Content-Length; 0 when absent or not a 32-bit number
};

Q_DECLARE_METATYPE(HttpResource)

// Registers HttpResource under the name "HttpResource" for queued signals.
// Call once on the GUI thread before the first capture thread starts.
void registerHttpResourceMetaType();
