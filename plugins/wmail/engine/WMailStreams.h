#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QStringList>

// The stream form every stored and sent byte form of the messaging plug-in
// shares, and bounded reading of the lists and blocks inside it.
namespace WMailStreams {

constexpr QDataStream::Version Version = QDataStream::Qt_4_6;

// Every entry of a counted list takes at least this many bytes (a length).
constexpr qint64 MinEntrySize = 4;

inline qint64 remaining(const QDataStream &in)
{
    const QIODevice *device = in.device();
    return device->size() - device->pos();
}

inline void writeList(QDataStream &out, const QStringList &names)
{
    out << qint32(names.size());
    for (const QString &name : names)
        out << name;
}

// Reads a qint32 count, then calls readEntry that many times while the
// stream stays good. A count the remaining bytes cannot hold is damage.
template <typename ReadEntry>
bool readEach(QDataStream &in, ReadEntry readEntry)
{
    qint32 count = 0;
    in >> count;
    if (in.status() != QDataStream::Ok || count < 0 || count > remaining(in) / MinEntrySize) {
        in.setStatus(QDataStream::ReadCorruptData);
        return false;
    }
    for (qint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i)
        readEntry(in);
    return in.status() == QDataStream::Ok;
}

// Reads a QByteArray's length and hands back its bytes as a view into
// whole, the buffer the stream reads; a length beyond the bytes is damage.
// All ones is the null array (an empty file read whole is written so).
inline QByteArray readBlockInPlace(QDataStream &in, const QByteArray &whole)
{
    quint32 length = 0;
    in >> length;
    if (in.status() == QDataStream::Ok && length == 0xFFFFFFFFu)
        return QByteArray();
    if (in.status() != QDataStream::Ok || qint64(length) > remaining(in)) {
        in.setStatus(QDataStream::ReadCorruptData);
        return QByteArray();
    }
    const qint64 at = in.device()->pos();
    in.skipRawData(int(length));
    return QByteArray::fromRawData(whole.constData() + at, int(length));
}

} // namespace WMailStreams
