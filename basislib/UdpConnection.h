#pragma once

#include "KvrConfig.h"
#include "basislib_global.h"

#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <memory>

class UdpTower;

// A private record link over UDP between two clients, carried by the
// client's UdpTower as a reliable, ordered ENet connection.
//
// Both ends are paired through the main server's rendezvous port (the
// machine setting "service/port", 2004 by default) by a session number: the
// initiator joins, the server tells the peer, the acceptor joins with the
// same number, and the server hands each end the other's endpoint. The
// initiator then connects and sends, as its first frame, a fresh secret
// sealed to the acceptor's public key and signed with its own private key;
// the acceptor refuses the link unless the signature verifies with the
// public key it was given for that peer, and answers with fresh random bytes
// of its own. Both make the keys (UdpLinkSealing), so no recorded hello
// opens a new session. From then on every record travels as AES-256-GCM of
// its binary form under counter nonces, one counter per direction; a frame
// that fails to open (damaged, replayed, reordered) closes the link.
//
// Every call is safe from any thread except the tower's I/O thread; blocking
// waits keep the calling thread's events flowing when it has an event loop.
// Signals are emitted on the thread the object lives on.
//
// What waits to be sent (sealed, not yet acknowledged by the far side) is
// bounded like a TCP link's: at TcpConnection::SendBacklogCap senders may
// wait for room, and a record that would take it past the cap plus one
// largest record ends the link. ENet's own time-out ends a far side that
// stops acknowledging.
//
// Arrived records go to an inbox. A record awaited by sendCommand() goes to
// its waiter; every other record is announced once with
// signalCommandReceived(ID, command) and stays until taken by getCommand()
// or until it is older than the inbox age limit.
class BASISLIB_EXPORT UdpConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxRecordSize = 16 * 1024 * 1024;
    static constexpr int DefaultConnectTimeoutMs = 10000;

    // The link reaches the ENet host, its io_context and the strand that
    // every ENet call runs on through the tower; holding the tower also keeps
    // it alive for as long as the link exists.
    explicit UdpConnection(QSharedPointer<UdpTower> tower, QObject *parent = nullptr);
    ~UdpConnection() override;

    // The own account's keys: the initiator signs with the private key, the
    // acceptor opens the initiator's secret with it. Set before connectToHost().
    void setKeyPair(const QString &publicKey, const QString &privateKey);
    // Acceptor: the public key of the user the link is expected from.
    void setPeerPublicKey(const QString &publicKey);

    // Initiator: joins `session` at the main server `address` and connects to
    // `peer`, sealing the session key to `peerKey`. True once both ends hold
    // the key. A link connects once; a second call gives false.
    bool connectToHost(int session, const QString &address, const QString &own, const QString &peer,
                       const QString &peerKey, int timeoutMs = DefaultConnectTimeoutMs);
    // Acceptor: joins `session` (announced by the server) and takes the
    // connection of `peer`, verified with the key of setPeerPublicKey().
    bool connectToHost(int session, const QString &address, const QString &own, const QString &peer,
                       int timeoutMs = DefaultConnectTimeoutMs);

    // Idempotent; a connected link then announces signalConnectionEnded() once.
    // Records pushed before are still delivered.
    void disconnectFromHost();
    bool isConnected() const;

    // Queues the record for sending; false when the link is not connected or
    // the record's binary form is larger than MaxRecordSize.
    bool pushCommand(const KvrConfig &record);
    // True while what waits to be sent is below the cap (or no link).
    bool hasSendRoom() const;
    // Waits at most timeoutMs until hasSendRoom(); false when the time
    // passed or the link ended. Returns at once on the tower's strand.
    bool waitForSendRoom(int timeoutMs);

    // Takes the arrived record with that "ID", waiting at most timeoutMs;
    // an empty record when none came.
    KvrConfig getCommand(const QString &id, int timeoutMs);
    // Sends and waits at most timeoutMs for the record with the same "ID"
    // (which the record must have). A reply that comes later is announced.
    KvrConfig sendCommand(const KvrConfig &record, int timeoutMs);

    // How long an unclaimed record stays in the inbox (default 120 s).
    void setInboxMaxAge(int ms);

signals:
    void signalCommandReceived(QString id, QString command);
    void signalConnectionEnded();

private:
    class Private;
    std::shared_ptr<Private> d;
};
