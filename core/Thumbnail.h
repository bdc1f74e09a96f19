#pragma once

#include <QImage>

// Scales an image down to fit maxWidth x maxHeight: first to the bound's
// width when it is wider, then to its height when still higher. Never
// enlarges. Safe on any thread.
QImage fitThumbnail(QImage image, int maxWidth, int maxHeight);
