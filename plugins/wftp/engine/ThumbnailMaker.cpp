#include "ThumbnailMaker.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>

QImage ThumbnailMaker::getImageThumnail(const QString &localPath)
{
    const QFileInfo info(localPath);
    if (!info.isFile() || info.isSymLink())
        return QImage();
    QImageReader reader(localPath);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (!reader.canRead() || !size.isValid() || size.isEmpty()
        || qint64(size.width()) * size.height() > MaxSourcePixels)
        return QImage();
    // Decoders that support it (JPEG) scale while decoding: cheap for photos.
    reader.setScaledSize(size.scaled(Side, Side, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
    return reader.read();
}

QImage ThumbnailMaker::canvas(const QImage &picture)
{
    if (picture.isNull() || picture.width() <= 0)
        return QImage();
    QImage canvas(Side, Side, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(QColor(255, 255, 255, 255));
    QPainter painter(&canvas);
    painter.drawImage(0, 0, picture.scaled(Side, Side, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    painter.end();
    return canvas;
}

QByteArray ThumbnailMaker::toJpeg(const QImage &canvas)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    canvas.save(&buffer, "JPG", 50);
    return jpeg;
}
