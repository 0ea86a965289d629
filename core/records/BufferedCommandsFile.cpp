#include "BufferedCommandsFile.h"

#include "ClientLogging.h"

#include <PrivateFiles.h>

#include <QDataStream>
#include <QFile>
#include <QtDebug>
#include <QtEndian>

namespace {

constexpr quint32 NullLength = 0xffffffffu;

qint64 remaining(const QDataStream &stream)
{
    return stream.device()->size() - stream.device()->pos();
}

// True when the next length-prefixed item (a QString or QByteArray) lies
// wholly inside the input, so reading it allocates no more than the input
// holds.
bool nextItemFits(QDataStream &stream, bool isText)
{
    const QByteArray prefix = stream.device()->peek(4);
    if (prefix.size() < 4)
        return false;
    const quint32 length = qFromBigEndian<quint32>(prefix.constData());
    if (length == NullLength)
        return true;
    if (isText && (length % 2) != 0)
        return false;
    return qint64(length) <= remaining(stream) - 4;
}

bool readCount(QDataStream &stream, qint32 *count)
{
    stream >> *count;
    return stream.status() == QDataStream::Ok && *count >= 0;
}

// Fills queues with every record read before the first damage; false when
// anything was damaged.
bool parseInto(const QByteArray &bytes, BufferedCommandsFile::Queues *queues)
{
    QDataStream stream(bytes);
    stream.setVersion(QDataStream::Qt_4_6);
    bool sound = true;
    qint32 users = 0;
    if (!readCount(stream, &users))
        return false;
    // The counts are never used to reserve memory: a damaged count only makes
    // the loops run into the end of the input.
    for (qint32 user = 0; user < users; ++user) {
        qint32 records = 0;
        if (!readCount(stream, &records) || !nextItemFits(stream, true))
            return false;
        QString name;
        stream >> name;
        if (stream.status() != QDataStream::Ok)
            return false;
        QList<KvrConfig> &queue = (*queues)[name];
        for (qint32 index = 0; index < records; ++index) {
            if (!nextItemFits(stream, false))
                return false;
            QByteArray form;
            stream >> form;
            if (stream.status() != QDataStream::Ok)
                return false;
            KvrConfig record;
            if (record.DeserializeConfigBinary(form))
                queue.append(record);
            else
                sound = false; // the item's length was sound: go on with the next
        }
    }
    return sound && stream.atEnd();
}

} // namespace

QByteArray BufferedCommandsFile::serialize(const Queues &queues)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_4_6);
    stream << qint32(queues.size());
    // QMap keeps its keys in ascending order of UTF-16 code units.
    for (auto it = queues.cbegin(); it != queues.cend(); ++it) {
        stream << qint32(it.value().size()) << it.key();
        for (const KvrConfig &record : it.value())
            stream << record.SerializeConfigBinary();
    }
    return bytes;
}

BufferedCommandsFile::Queues BufferedCommandsFile::parse(const QByteArray &bytes, bool *intact)
{
    Queues queues;
    const bool sound = parseInto(bytes, &queues);
    if (intact)
        *intact = sound;
    return queues;
}

BufferedCommandsFile::Queues BufferedCommandsFile::read(const QString &path, bool *intact)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (intact)
            *intact = !file.exists();
        return Queues();
    }
    const QByteArray bytes = file.readAll();
    bool sound = true;
    const Queues queues = bytes.isEmpty() ? Queues() : parse(bytes, &sound);
    if (!sound)
        qCDebug(lcRecords).noquote() << "damaged buffered commands file, kept what was intact:" << path;
    if (intact)
        *intact = sound;
    return queues;
}

bool BufferedCommandsFile::write(const QString &path, const Queues &queues)
{
    return PrivateFiles::write(path, serialize(queues));
}
