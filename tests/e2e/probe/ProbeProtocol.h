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
//   request   the same, timeout                    send, then IWHost::waitInputCommand for its reply -> record
//   buffer    user, record                         IWHost::bufferCommand
//   queue     user, record                         IWHost::queueExchangeCommand
//   wait      id, timeout                          the record with that "ID" the probe claimed -> record
//   events                                         what the plug-in saw -> "event0", "event1", ... (records)
//   clear                                          forgets the events seen so far
//   open      user, server                         IWHost::openUserConnection -> connectionID
//   status    status                               sets the own status as the status menu does
//   contact   path                                 a value of the contacts tree -> value
//   active    connectionID                         IWHost::isConnectionActive
//   invoke    plugin, operation, record            an operation of a loaded plug-in -> record
//   load      user, record, count, requesters,     "request" from requesters threads at once, each count
//             timeout                              times with a fresh "ID" -> samples (the nanoseconds
//                                                  of each round trip, native qint64s), elapsed (ns, all)
//
// The probe claims (takes from the host) every record named "probe:::..." and
// the replies (":callback") to the records it sent with "send": a test waits
// for them with "wait". Replies to other plug-ins' requests stay theirs.
//
// "invoke" runs an operation a plug-in exposes for tests (ProbePlugin.h says
// how a plug-in exposes one); the result flag is false when there is no such
// plug-in or operation.
//
// Waits scaled for tests: in the client's environment, WIVORA_PROBE_ACK_TIMEOUT_MS
// replaces the buffered road's acknowledgement wait, and WIVORA_PROBE_PEER_CHECK_MS
// the interval of the peer-link keep-alives (their answer wait is
// PeerAnswerIntervals such intervals).
//
// WIVORA_PROBE_HOLD_START_UNTIL names a file: until it exists, the probe's
// initPlugin prints HoldingStartLine and waits with the client's events
// flowing, so a test holds the client between its login and the start of the
// plug-ins loaded after the probe.
//
// WIVORA_PROBE_HOLD_RECORDS_UNTIL names a file too: until it exists, the
// probe's commandReceived holds every record that is not its own, printing
// HoldingRecordLine and the record's command first. The plug-ins loaded after
// the probe are offered the record only then, so a test can end the client
// while a record has arrived and no plug-in has stored it yet.

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
inline const QString KeyPlugin = QStringLiteral("plugin");
inline const QString KeyOperation = QStringLiteral("operation");
inline const QString KeyCount = QStringLiteral("count");
inline const QString KeyRequesters = QStringLiteral("requesters");
inline const QString KeySamples = QStringLiteral("samples");
inline const QString KeyElapsed = QStringLiteral("elapsed");

inline const char AckTimeoutVariable[] = "WIVORA_PROBE_ACK_TIMEOUT_MS";
inline const char PeerCheckVariable[] = "WIVORA_PROBE_PEER_CHECK_MS";
constexpr int PeerAnswerIntervals = 4;
inline const char HoldStartVariable[] = "WIVORA_PROBE_HOLD_START_UNTIL";
inline const QString HoldingStartLine = QStringLiteral("probe: holding the plug-ins' start");
inline const char HoldRecordsVariable[] = "WIVORA_PROBE_HOLD_RECORDS_UNTIL";
inline const QString HoldingRecordLine = QStringLiteral("probe: holding a record");

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
inline const QString OpActive = QStringLiteral("active");
inline const QString OpInvoke = QStringLiteral("invoke");
inline const QString OpLoad = QStringLiteral("load");
// The longest stall of the client's GUI thread (milliseconds, in "value")
// since the last ask; the first ask starts measuring and gives -1.
inline const QString OpStall = QStringLiteral("stall");

// Room for the largest record the buffered road takes (64 MiB) and the
// request around it.
constexpr quint32 MaxFrameSize = 80 * 1024 * 1024;

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
