#pragma once

#include <QImage>
#include <QString>

// Scales an image down to fit maxWidth x maxHeight: first to the bound's
// width when it is wider, then to its height when still higher. Never
// enlarges. Safe on any thread.
QImage fitThumbnail(QImage image, int maxWidth, int maxHeight);

// Loads an image file fitted to maxWidth x maxHeight, as fitThumbnail would
// give it, without holding the whole picture of a larger file: the reader
// decodes it straight at the smaller size where the format allows (JPEG
// does). A null image when the file is missing or cannot be read. Safe on
// any thread.
QImage loadThumbnail(const QString& file, int maxWidth, int maxHeight);
