#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QSize>

// Pictures that came from other users (contacts' avatars): decoded only when
// the size their header declares is within MaxSide, so a small file that
// declares a huge image costs neither the memory nor the time of decoding
// it. Shared by the program and the plug-ins (header-only), so every reader
// of such bytes applies the same bound.
namespace PeerPicture {

constexpr int MaxSide = 4096;

// The picture in bytes; null when it does not decode, or when its size is
// unknown before decoding or has a side over MaxSide.
inline QImage decode(const QByteArray &bytes)
{
    QBuffer source;
    source.setData(bytes);
    QImageReader reader(&source);
    const QSize declared = reader.size();
    if (!declared.isValid() || declared.width() > MaxSide || declared.height() > MaxSide)
        return QImage();
    return reader.read();
}

} // namespace PeerPicture
