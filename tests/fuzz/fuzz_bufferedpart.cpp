// Parts of buffered records as peers send them, through the store's receiving
// side: over links (acknowledged there) and fetched from the relay. An input
// is a run of frames, each a road byte (bit 0: relayed, bit 1: which of two
// senders) and a record as a link frames it (4-byte big-endian length, binary
// form), stamped as the link or the relay fetch stamps it. What is delivered
// is a record a peer may send, from the sender of its last part, carrying no
// routing key of the peer's; acknowledgements go back on the part's own link
// only.
#include "BufferedCommands.h"
#include "FuzzCheck.h"
#include "SessionState.h"

#include <ServerProtocol.h>

#include <QtEndian>

#include <cstddef>
#include <cstdint>

namespace {

const QString kSender = QLatin1String(ServerProtocol::RoutingKeySender);
const QString kConnectionId = QLatin1String(ServerProtocol::RoutingKeyConnectionId);

// The part being handed over, for the roads' checks.
struct Arrival
{
    QString sender;
    QString connectionId;
    QString id;
    bool relayed = false;
} g_arrival;

bool checkDelivered(const KvrConfig &record)
{
    check(record.gv(kSender) == g_arrival.sender);
    for (int i = 0; i < record.size(); ++i) {
        const QString key = record.GetKey(i);
        check(!key.startsWith(QLatin1String(ServerProtocol::RoutingKeyPrefix)) || key == kSender);
    }
    const QString command = record.gv(QStringLiteral("command"));
    check(command.contains(QLatin1String(":::")) && !command.startsWith(QLatin1String(ServerProtocol::LocalPrefix))
          && !command.startsWith(QLatin1String(ServerProtocol::WebLocalPrefix)));
    return true;
}

void checkAcknowledgement(const KvrConfig &record, const QString &user, const QString &connectionId)
{
    check(!g_arrival.relayed && user == g_arrival.sender && connectionId == g_arrival.connectionId
          && record.GetID() == g_arrival.id);
}

BufferedCommands &store()
{
    static SessionState session;
    static BufferedCommands store(&session, [] {
        BufferedCommands::Roads roads;
        roads.send = checkAcknowledgement;
        roads.deliver = checkDelivered;
        roads.progress = [](BufferedCommands::Direction direction, const QString &user, int percent) {
            check(direction == BufferedCommands::Direction::Receive && user == g_arrival.sender && percent >= -1
                  && percent <= 100);
        };
        return roads;
    }());
    return store;
}

} // namespace

// Refused parts are logged; a million log lines would only slow the run.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString senders[] = {QStringLiteral("alice"), QStringLiteral("Bob")};
    BufferedCommands &parts = store();
    size_t at = 0;
    while (size - at >= 5) {
        const uint8_t road = data[at];
        const quint32 length = qFromBigEndian<quint32>(data + at + 1);
        at += 5;
        if (length > size - at)
            break;
        KvrConfig record;
        const bool parsed = record.DeserializeConfigBinary(
            QByteArray::fromRawData(reinterpret_cast<const char *>(data + at), int(length)));
        at += length;
        if (!parsed)
            continue;
        g_arrival.id = record.GetID();
        g_arrival.relayed = road & 1;
        g_arrival.sender = senders[(road >> 1) & 1];
        // The routing keys are the receiving host's to set.
        record.RemoveKeysWithPrefix(QLatin1String(ServerProtocol::RoutingKeyPrefix));
        if (g_arrival.relayed) {
            g_arrival.sender = g_arrival.sender.toLower();
            g_arrival.connectionId.clear();
            record.sv(kSender, g_arrival.sender);
            parts.receiveRelayedPart(record);
        } else {
            g_arrival.connectionId = QStringLiteral("link-") + g_arrival.sender;
            record.sv(kSender, g_arrival.sender);
            record.sv(kConnectionId, g_arrival.connectionId);
            parts.receiveBufferedPart(record);
        }
    }
    // Nothing of one input is left for the next.
    parts.stop();
    return 0;
}
