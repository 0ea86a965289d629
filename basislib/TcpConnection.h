#pragma once

#include "KvrConfig.h"
#include "basislib_global.h"

#include <QObject>
#include <QString>

#include <memory>

class PendingLinkBudget;

// A private record link over TCP: TLS 1.3, where the connecting side is
// given the far side's public key and accepts only the holder of its private
// key, and the accepting side holds its own key pair. Both ends contribute
// fresh randomness to the session keys and every TLS record is numbered, so
// neither a recorded stream nor a replayed, reordered or damaged frame is
// accepted. Inside, every frame is a 4-byte big-endian length + the record's
// binary form; a zero or over-cap length or a truncated frame closes the link.
//
// Sockets run on the transports' own I/O thread, so every call is safe from
// any thread and blocking waits never depend on the caller's event loop (on
// a thread with an event loop, waits keep its events flowing).
//
// Arrived records go to an inbox. A record that a sendCommand() or a
// getCommand() is already waiting for goes to that waiter; every other record
// is announced once with signalCommandReceived(ID, command) and stays until
// taken by getCommand() or until it is older than the inbox age limit.
// Records of one "ID" are taken in arrival order.
//
// Both signals are emitted on the I/O thread: receivers living on other
// threads get them queued (automatic connection). A slot connected directly
// runs on the I/O thread and must not block; waits made there return at once.
//
// What waits to be sent is bounded (SendBacklogCap): from when the link's
// unsent bytes reach the cap until they drain below half of it, while announced records wait untaken in the inbox, it
// reads nothing more from the far side (an owner that keeps taking records
// keeps reading, so two sides sending to each other never wait for each
// other), and a link that does not drain within the drain time limit ends. Senders that can
// wait (workers pushing a transfer's chunks) call waitForSendRoom() first;
// those that must not (the I/O thread, a server's request loop) check
// hasSendRoom() and hold their work until signalSendRoom(). A record that
// would take the unsent bytes past the cap plus one largest frame ends the
// link and is refused.
//
// signalConnectionEnded() comes once per link: for the connecting side after
// connectToHost() succeeded, for the accepting side from the adoption of the
// socket on (a failed handshake ends it too).
class BASISLIB_EXPORT TcpConnection : public QObject
{
    Q_OBJECT
public:
    static constexpr int MaxFrameSize = 16 * 1024 * 1024;
    static constexpr int DefaultConnectTimeoutMs = 10000;
    // Well above a transfer's reads in flight (four of 1 MiB), so that the
    // cap never slows a transfer down.
    static constexpr qint64 SendBacklogCap = 16 * 1024 * 1024;
    // How long a link may stay at the cap; WIVORA_SEND_DRAIN_TIME_LIMIT_MS
    // when set (tests shorten it).
    static constexpr int DefaultDrainTimeLimitMs = 60 * 1000;
    static int drainTimeLimitMs();

    explicit TcpConnection(QObject *parent = nullptr);
    ~TcpConnection() override;

    // Connects and completes the handshake with the holder of publicKey.
    bool connectToHost(const QString &address, const QString &port, const QString &publicKey,
                       int timeoutMs = DefaultConnectTimeoutMs);
    // The accepting side's own key pair; set before setSocketDesctiptor().
    void setKeyPair(const QString &publicKey, const QString &privateKey);
    // Adopts an accepted native socket and waits for the far side's key
    // exchange (at most DefaultConnectTimeoutMs). The descriptor is taken
    // over, and closed when it cannot be used (false; no key pair set).
    bool setSocketDesctiptor(qintptr descriptor);
    // For an accepting side whose far side still has to log in or be
    // accepted; set before setSocketDesctiptor(), which then refuses (closes)
    // a socket from an address that holds its share of the budget. Until
    // admit(), the link holds its place (and gives it up, ending, when the
    // budget hands it to a newcomer), and frames over the budget's frame
    // limit or the end of its time limit end the link.
    void setPendingBudget(const std::shared_ptr<PendingLinkBudget> &budget);
    // The far side proved a name but is not admitted yet: until admit() the
    // link keeps one of the budget's places for that name, and its proven
    // limits apply (PendingLinkBudget::Limits). False when the name holds all
    // its places, or the link proved another name: the proof is to be refused.
    // True, changing nothing, without a budget or once admitted.
    bool holdAsProven(const QString &name);
    // The far side logged in or was accepted: the budget's limits no longer apply.
    void admit();
    // Idempotent, from any thread. Records already pushed are still sent;
    // waiting calls return at once, and records that arrived before stay
    // available to getCommand().
    void disconnectFromHost();
    // True from the end of the handshake until the link ends.
    bool isConnected() const;

    QString peerAddress() const;
    quint16 peerPort() const;

    // Queues the record for sending; false when the link is not connected or
    // the record's binary form does not fit in one frame.
    bool pushCommand(const KvrConfig &record);
    // False from when the unsent bytes reach SendBacklogCap until they
    // drained below half of it; true without a link.
    bool hasSendRoom() const;
    // Waits at most timeoutMs until hasSendRoom(); false when the time
    // passed or the link ended. Returns at once on the I/O thread.
    bool waitForSendRoom(int timeoutMs);
    // Stops (true) or resumes (false) reading from the far side, for an
    // owner whose handling of records is held up elsewhere.
    void holdReading(bool held);

    // Takes the arrived record with that "ID", waiting at most timeoutMs;
    // an empty record when none came.
    KvrConfig getCommand(const QString &id, int timeoutMs);
    // Sends and waits at most timeoutMs for the record with the same "ID".
    KvrConfig sendCommand(const KvrConfig &record, int timeoutMs);

    // How long an unclaimed record stays in the inbox (default 120 s).
    void setInboxMaxAge(int ms);

signals:
    void signalCommandReceived(QString id, QString command);
    void signalConnectionEnded();
    // hasSendRoom() became true again; emitted on the I/O thread.
    void signalSendRoom();

private:
    class Private;
    std::shared_ptr<Private> d;
};
