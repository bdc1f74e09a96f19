#include "Thumbnail.h"

#include <QImageReader>

QImage fitThumbnail(QImage image, int maxWidth, int maxHeight)
{
    if (image.width() > maxWidth)
        image = image.scaledToWidth(maxWidth, Qt::FastTransformation);
    if (image.height() > maxHeight)
        image = image.scaledToHeight(maxHeight, Qt::FastTransformation);
    return image;
}

QImage loadThumbnail(const QString& file, int maxWidth, int maxHeight)
{
    QImageReader reader(file);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > maxWidth || size.height() > maxHeight))
        reader.setScaledSize(size.scaled(maxWidth, maxHeight, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    // The reader's rounding may differ from ours by a pixel; the fit has the
    // last word on the box.
    return fitThumbnail(reader.read(), maxWidth, maxHeight);
}
