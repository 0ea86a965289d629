#pragma once

#include <QByteArray>
#include <QtEndian>

// A valid black-and-white PNG of width x height whose pixels are all black:
// a few kilobytes that decode into as many bits as the picture has pixels.
inline QByteArray pngDeclaring(quint32 width, quint32 height)
{
    auto crc32 = [](const QByteArray &bytes) {
        quint32 crc = 0xFFFFFFFFu;
        for (const char byte : bytes) {
            crc ^= quint8(byte);
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    };
    auto bigEndian = [](quint32 value) {
        QByteArray bytes(4, '\0');
        qToBigEndian(value, bytes.data());
        return bytes;
    };
    auto chunk = [&](const char *type, const QByteArray &data) {
        const QByteArray typed = QByteArray(type) + data;
        return bigEndian(quint32(data.size())) + typed + bigEndian(crc32(typed));
    };
    // Bit depth 1, grey, no interlace; every row: filter 0 and zero bits.
    const QByteArray header = bigEndian(width) + bigEndian(height) + QByteArray("\x01\x00\x00\x00\x00", 5);
    const QByteArray rows(int(height) * int(1 + (width + 7) / 8), '\0');
    const QByteArray zlib = qCompress(rows, 9).mid(4); // without Qt's length prefix
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", zlib) + chunk("IEND", {});
}
