#pragma once

#include <KvrConfig.h>

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

// The stored form of the records that wait for delivery, per receiving user.
//
// One QDataStream (Qt 4.6 form, big-endian): qint32 number of users, then per
// user in ascending order of name: qint32 number of records, the name as a
// QString, and each record's binary form as a QByteArray. Peers of older
// versions and files already on disk use exactly this form.
class BufferedCommandsFile
{
public:
    using Queues = QMap<QString, QList<KvrConfig>>;

    BufferedCommandsFile() = delete;

    static QByteArray serialize(const Queues &queues);

    // Reads as much as is intact: parsing stops at the first damage (a
    // truncation, a negative count or a length beyond the end), keeping every
    // record read before it; a record whose bytes are not a record is
    // skipped. `intact` tells whether the whole input was sound.
    static Queues parse(const QByteArray &bytes, bool *intact = nullptr);

    // An absent or unreadable file gives no queues.
    static Queues read(const QString &path, bool *intact = nullptr);
    // Replaces the file atomically, owner-only (its folder must exist).
    static bool write(const QString &path, const Queues &queues);
};
