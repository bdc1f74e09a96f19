#pragma once

// A described response as the capture thread hands it to the transfers page,
// for tests that fill the page with rows.

#include "HttpResource.h"

inline HttpResource transferResource(const QString& host, bool video, qint32 size)
{
    HttpResource result;
    result.host = host;
    result.isVideo = video;
    result.isImage = !video;
    result.size = size;
    return result;
}
