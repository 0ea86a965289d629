// A photo-album item's bytes as a peer sends them: the preview made on
// receipt (thumbnails of the pictures that decode) and the pictures read back
// from the item and from its preview, as the carousel and the viewer do. No
// picture comes out larger than the limit, and the preview holds thumbnails
// only, no more than the item has pictures.
#include "FuzzCheck.h"
#include "WMailPhotoAlbum.h"

#include <QDataStream>

#include <cstddef>
#include <cstdint>

namespace {

void checkSides(const QList<WMailPhotoAlbum::Picture> &pictures, int side)
{
    for (const WMailPhotoAlbum::Picture &picture : pictures)
        check(!picture.image.isNull() && picture.image.width() <= side && picture.image.height() <= side);
}

qint32 countOf(const QByteArray &bytes)
{
    qint32 count = 0;
    QDataStream(bytes) >> count;
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const QList<WMailPhotoAlbum::Picture> pictures = WMailPhotoAlbum::readPictures(bytes);
    checkSides(pictures, WMailPhotoAlbum::MaxSide);

    const QByteArray preview = WMailPhotoAlbum::preview(bytes);
    if (preview.isEmpty())
        return 0;
    check(countOf(preview) == countOf(bytes));
    const QList<WMailPhotoAlbum::Picture> thumbnails = WMailPhotoAlbum::readPictures(preview);
    checkSides(thumbnails, WMailPhotoAlbum::ThumbnailSide);
    check(thumbnails.size() <= pictures.size());
    return 0;
}
