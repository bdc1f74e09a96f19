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
    // The size fitThumbnail gives, in its two steps.
    QImageReader reader(file);
    QSize size = reader.size();
    if (size.isValid()) {
        if (size.width() > maxWidth)
            size = QSize(maxWidth, qMax(1, qRound(qreal(size.height()) * maxWidth / size.width())));
        if (size.height() > maxHeight)
            size = QSize(qMax(1, qRound(qreal(size.width()) * maxHeight / size.height())), maxHeight);
        if (size != reader.size())
            reader.setScaledSize(size);
    }
    // A reader that ignores the scaled size reads the whole picture; the fit
    // has the last word on the box.
    return fitThumbnail(reader.read(), maxWidth, maxHeight);
}
