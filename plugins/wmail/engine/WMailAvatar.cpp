#include "WMailAvatar.h"

#include <PeerPicture.h>

#include <QBuffer>
#include <QImage>

QByteArray WMailAvatar::compose(const QByteArray &picture, int size)
{
    QImage image = PeerPicture::decode(picture);
    if (image.isNull())
        return QByteArray();
    if (size > 0)
        image = image.scaled(qMin(size, MaxSide), qMin(size, MaxSide), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer out(&png);
    out.open(QIODevice::WriteOnly);
    return image.save(&out, "PNG") ? png : QByteArray();
}
