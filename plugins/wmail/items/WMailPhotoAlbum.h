#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

// The byte forms of a photo-album item away from any widget: pictures fitted
// and written as JPEG for sending, the thumbnails of the preview, and the
// pictures read back. Received bytes come from a peer: they are decoded as
// JPEG only, and a picture declaring more than MaxSide on a side is refused
// before it is decoded (senders only ever write JPEG up to SentSide).
class WMailPhotoAlbum
{
public:
    WMailPhotoAlbum() = delete;

    struct Picture
    {
        QString name;
        QImage image;
    };

    static constexpr int SentSide = 800;
    static constexpr int ThumbnailSide = 80;
    static constexpr int MaxSide = 4096;

    // One entry of item data for the picture at path; false when it does
    // not load as a picture.
    static bool appendPicture(QByteArray *entries, const QString &path);
    // Item data: the count of pictures, then the entries appendPicture wrote.
    static QByteArray itemData(int count, const QByteArray &entries);
    // The preview of item data: count copied, a thumbnail per picture that
    // decodes. Empty when the data is.
    static QByteArray preview(const QByteArray &data);
    // The pictures of item data or preview that decode, in order.
    static QList<Picture> readPictures(const QByteArray &bytes);

    // A received picture, or a null image when it is not a JPEG of sane size.
    static QImage decode(const QByteArray &jpeg);
    static QByteArray encodeJpeg(const QImage &image, int quality);
};
