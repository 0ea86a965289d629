#include "WMailAvatar.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>

QByteArray WMailAvatar::compose(const QByteArray &picture, int size)
{
    QBuffer source;
    source.setData(picture);
    QImageReader reader(&source);
    const QSize declared = reader.size();
    if (!declared.isValid() || declared.width() > MaxSourceSide || declared.height() > MaxSourceSide)
        return QByteArray();
    QImage image = reader.read();
    if (image.isNull())
        return QByteArray();
    if (size > 0)
        image = image.scaled(qMin(size, MaxSide), qMin(size, MaxSide), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    return image.save(&out, "PNG") ? png : QByteArray();
}
