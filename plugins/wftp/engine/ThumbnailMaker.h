#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

// The 100 by 100 pictures shown beside listed files: the file's image scaled
// to fit, on a white canvas, at the top-left corner.
class ThumbnailMaker
{
public:
    static constexpr int Side = 100;
    // Larger images are not decoded: their pixels alone would take gigabytes.
    static constexpr qint64 MaxSourcePixels = 50 * 1000 * 1000;

    // The file's picture decoded at reduced scale; null for anything that is
    // not a readable image of at most MaxSourcePixels.
    static QImage getImageThumnail(const QString &localPath);
    // The picture drawn on the white canvas; null when picture is null.
    static QImage canvas(const QImage &picture);
    // The canvas as JPEG at quality 50.
    static QByteArray toJpeg(const QImage &canvas);
};
