#pragma once

// The control channel between a test and the probe plug-in inside a client:
// TCP on 127.0.0.1, the port written to PortFileName in the client's storage
// folder. Each request and each reply is one record, framed as a 4-byte
// big-endian length and the record's binary form; every request gets exactly
// one reply, in order.
//
// A request names its operation under "op"; the reply's result flag says
// whether it worked. Records handed through the channel travel in binary
// form under "record".
//
//   send      user, server, connectionID, record   IWHost::sendCommand
//   request   the same, timeout                    send, then wait for the record with the same "ID"
//   buffer    user, record                         IWHost::bufferCommand
//   queue     user, record                         IWHost::queueExchangeCommand
//   wait      id, timeout                          the record with that "ID" the probe claimed -> record
//   events                                         what the plug-in saw -> "event0", "event1", ... (records)
//   clear                                          forgets the events seen so far
//   open      user, server                         IWHost::openUserConnection -> connectionID
//   status    status                               sets the own status as the status menu does
//   contact   path                                 a value of the contacts tree -> value
//
// The probe claims (takes from the host) every record named "probe:::..." and
// every reply (":callback"): a test waits for them with "wait".

#include <KvrConfig.h>

#include <QByteArray>
#include <QString>
#include <QtEndian>

namespace ProbeProtocol {

inline const QString PortFileName = QStringLiteral("probe-control.port");
inline const QString Prefix = QStringLiteral("probe:::");
inline const QString ReplySuffix = QStringLiteral(":callback");

inline const QString KeyOp = QStringLiteral("op");
inline const QString KeyUser = QStringLiteral("user");
inline const QString KeyServer = QStringLiteral("server");
inline const QString KeyConnectionId = QStringLiteral("connectionID");
inline const QString KeyRecord = QStringLiteral("record");
inline const QString KeyTimeout = QStringLiteral("timeout");
inline const QString KeyId = QStringLiteral("id");
inline const QString KeyStatus = QStringLiteral("status");
inline const QString KeyPath = QStringLiteral("path");
inline const QString KeyValue = QStringLiteral("value");
inline const QString EventKeyPrefix = QStringLiteral("event");

// An event record: "kind" ("command", "signal" or "call"), "name", "id" and,
// for a signal, each parameter as "param:<name>" in text form.
inline const QString KeyKind = QStringLiteral("kind");
inline const QString KeyName = QStringLiteral("name");
inline const QString ParamKeyPrefix = QStringLiteral("param:");

inline const QString OpSend = QStringLiteral("send");
inline const QString OpRequest = QStringLiteral("request");
inline const QString OpBuffer = QStringLiteral("buffer");
inline const QString OpQueue = QStringLiteral("queue");
inline const QString OpWait = QStringLiteral("wait");
inline const QString OpEvents = QStringLiteral("events");
inline const QString OpClear = QStringLiteral("clear");
inline const QString OpOpen = QStringLiteral("open");
inline const QString OpStatus = QStringLiteral("status");
inline const QString OpContact = QStringLiteral("contact");

// Records of a few hundred kilobytes are the most the tests send.
constexpr quint32 MaxFrameSize = 16 * 1024 * 1024;

inline QByteArray frame(const KvrConfig &record)
{
    const QByteArray body = record.SerializeConfigBinary();
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian<quint32>(quint32(body.size()), bytes.data());
    return bytes + body;
}

enum class FrameState { Incomplete, Complete, Damaged };

// Takes the first whole frame off the front of buffer.
inline FrameState takeFrame(QByteArray &buffer, KvrConfig *record)
{
    if (buffer.size() < 4)
        return FrameState::Incomplete;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    if (length == 0 || length > MaxFrameSize)
        return FrameState::Damaged;
    if (quint32(buffer.size() - 4) < length)
        return FrameState::Incomplete;
    const bool whole = record->DeserializeConfigBinary(buffer.mid(4, int(length)));
    buffer.remove(0, 4 + int(length));
    return whole ? FrameState::Complete : FrameState::Damaged;
}

} // namespace ProbeProtocol
