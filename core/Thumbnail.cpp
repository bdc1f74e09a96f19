#include "Thumbnail.h"

QImage fitThumbnail(QImage image, int maxWidth, int maxHeight)
{
    if (image.width() > maxWidth)
        image = image.scaledToWidth(maxWidth, Qt::FastTransformation);
    if (image.height() > maxHeight)
        image = image.scaledToHeight(maxHeight, Qt::FastTransformation);
    return image;
}
