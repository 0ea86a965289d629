#include "WMailPhotoAlbum.h"

#include "WMailStreams.h"

#include <QBuffer>
#include <QDataStream>
#include <QFileInfo>
#include <QImageReader>

namespace {

QImage fitted(const QImage &image, int side)
{
    return image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// Reads name and picture bytes per entry while they are whole; the count
// is the sender's and may be above what was written.
template <typename Use>
qint32 readEntries(const QByteArray &bytes, Use use)
{
    QDataStream in(bytes);
    in.setVersion(WMailStreams::Version);
    qint32 count = 0;
    QDataStream(bytes) >> count;
    WMailStreams::readEach(in, [&](QDataStream &stream) {
        QString name;
        stream >> name;
        const QByteArray picture = WMailStreams::readBlockInPlace(stream, bytes);
        if (stream.status() == QDataStream::Ok)
            use(name, picture);
    });
    return count;
}

} // namespace

bool WMailPhotoAlbum::appendPicture(QByteArray *entries, const QString &path)
{
    QImage image;
    if (!image.load(path))
        return false;
    image = fitted(image, SentSide);
    QDataStream out(entries, QIODevice::WriteOnly | QIODevice::Append);
    out.setVersion(WMailStreams::Version);
    out << QFileInfo(path).fileName() << (image.width() > 0 ? encodeJpeg(image, 70) : QByteArray());
    return true;
}

QByteArray WMailPhotoAlbum::itemData(int count, const QByteArray &entries)
{
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setVersion(WMailStreams::Version);
    out << qint32(count);
    return data + entries;
}

QByteArray WMailPhotoAlbum::preview(const QByteArray &data)
{
    QByteArray entries;
    QDataStream out(&entries, QIODevice::WriteOnly);
    out.setVersion(WMailStreams::Version);
    if (data.size() < int(sizeof(qint32)))
        return QByteArray();
    const qint32 count = readEntries(data, [&](const QString &name, const QByteArray &picture) {
        const QImage image = decode(picture);
        if (image.width() <= 0)
            return;
        const QImage thumbnail = fitted(image, ThumbnailSide);
        if (thumbnail.width() > 0)
            out << name << encodeJpeg(thumbnail, 100);
    });
    return itemData(count, entries);
}

QList<WMailPhotoAlbum::Picture> WMailPhotoAlbum::readPictures(const QByteArray &bytes)
{
    QList<Picture> pictures;
    readEntries(bytes, [&](const QString &name, const QByteArray &picture) {
        const QImage image = decode(picture);
        if (!image.isNull())
            pictures << Picture{name, image};
    });
    return pictures;
}

QImage WMailPhotoAlbum::decode(const QByteArray &jpeg)
{
    QBuffer source;
    source.setData(jpeg);
    source.open(QIODevice::ReadOnly);
    QImageReader reader(&source, "jpeg");
    reader.setDecideFormatFromContent(false);
    const QSize declared = reader.size();
    if (!declared.isValid() || declared.width() > MaxSide || declared.height() > MaxSide)
        return QImage();
    return reader.read();
}

QByteArray WMailPhotoAlbum::encodeJpeg(const QImage &image, int quality)
{
    QByteArray jpeg;
    QBuffer out(&jpeg);
    out.open(QIODevice::WriteOnly);
    return image.save(&out, "JPG", quality) ? jpeg : QByteArray();
}
