#pragma once

// The web site of the whole-program test: the files it serves, made by the
// test, and a browser stand-in that fetches them over the veth link.

#include <QByteArray>
#include <QImage>
#include <QString>

namespace e2e {

// One file of the site, as served and as the program should keep it.
struct Medium {
    QString path;       // request path
    QString fileName;   // in the site's folder
    QString type;       // Content-Type
    QString suffix;     // of the kept file: the content subtype
    QString kind;       // "Image" or "Video"
    QByteArray body;
};

// One GET on a fresh connection to the site with the given Host header, as a
// browser would send it; returns the response body (empty on any failure).
// Reads exactly the announced length, so the kept-alive connection does not
// matter.
QByteArray fetch(const char* host, const QString& path);

// Random pixels: a picture that compresses badly stays well above the
// program's minimum size for images.
QImage noise(int width, int height);

// The image in a file format ("PNG", "JPEG"), as a server would send it.
QByteArray encoded(const QImage& image, const char* format);

// Two seconds of ffmpeg's test picture and tone, H.264 and AAC in MP4.
QByteArray testVideo(const QString& path);

// A file's bytes; empty when it cannot be read.
QByteArray fileBytes(const QString& path);

} // namespace e2e
