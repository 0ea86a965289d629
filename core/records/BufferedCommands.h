#pragma once

#include "BufferedCommandsStore.h"

#include <KvrConfig.h>

#include <QFuture>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <functional>

class SessionState;
class WivoraAccount;

// Records that must reach another user even when that user cannot be reached
// now. Each record waits in its receiver's queue, kept in the logged-in
// user's folder (BufferedCommandsStore: a snapshot and a journal of changes),
// until a sender task on the global pool has
// delivered it: cut into "User::bufferedCommand" parts of PartSize bytes, each
// acknowledged by the peer before the next goes, or, when a part stays
// unacknowledged for the acknowledgement time, relayed through the main
// server: whole when one relay request carries it, else as the same parts,
// one relay request each. A record leaves the queue (and the file) only once
// its last part was acknowledged or the server took the relay (of every
// part); until then it is tried again from its first part.
// One sender per receiver, so a receiver's records arrive in queue order.
//
// Every load and every stop starts a new generation: a sender of an older one
// ends at its next step without sending, relaying, removing or saving, so a
// logout never touches the file and a sender never writes into another
// user's file. The first add of a session loads the file first, so records
// added before the login's load join those already waiting.
//
// The receiving side joins the parts of one record per sender and "commandid",
// in order from part "0", and delivers the whole record with "Wivora::sender"
// set to the link's user. Parts that came over a link are acknowledged on it,
// the last one only once the record was delivered (stored durably); relayed
// parts are not (the relay took them), and are joined apart from any that
// came over a link, so the two roads never mix one record's parts.
class BufferedCommands : public QObject
{
    Q_OBJECT

public:
    static constexpr int PartSize = 65536;
    static constexpr int DefaultAckTimeoutMs = 85000;
    // Caps on what one peer may make this side hold: the parts of at most
    // this many unfinished records, of this many bytes together.
    static constexpr int MaxRecordSize = 64 * 1024 * 1024;
    static constexpr int MaxReassembliesPerSender = 8;

    static const QString FileName;
    static const QString PartCommand;

    enum class Direction { Send, Receive };

    // The roads to the rest of the client; all run on the calling thread and
    // may be called from any thread.
    struct Roads
    {
        // Puts a record into the output store for user, on the link named by
        // connectionId when given, else on a peer (not server-mode) link.
        std::function<void(const KvrConfig &record, const QString &user, const QString &connectionId)> send;
        // True when a connected, authenticated peer link to user exists.
        std::function<bool(const QString &user)> hasPeerLink;
        // Makes a new peer link to user and waits for the outcome.
        std::function<void(const QString &user)> openPeerLink;
        // Stores a received record durably and puts it into the input store;
        // false when it could not be stored (the sender then keeps it).
        std::function<bool(const KvrConfig &record)> deliver;
        // Relays a record through the main server on behalf of account; true
        // when the server took it. WServerCommands::sendExchangeCommand when
        // unset.
        std::function<bool(const QString &user, const KvrConfig &record,
                           const QSharedPointer<WivoraAccount> &account)>
            relay;
        // Percent of the record under way to or from user; -1 when done.
        std::function<void(Direction direction, const QString &user, int percent)> progress;
    };

    // session must outlive this object.
    BufferedCommands(SessionState *session, Roads roads, QObject *parent = nullptr);
    // Stops and waits for the senders (the file keeps its content).
    ~BufferedCommands() override;

    // How long a part waits for its acknowledgement before the record is
    // relayed; also the pause between two attempts of a record the relay
    // refused.
    void setAckTimeoutMs(int ms);

    // Queues record for user on behalf of the logged-in user and stores it; false
    // when nobody is logged in, user is empty, the record is larger than
    // MaxRecordSize (none of these is queued) or the file could not be
    // written (the record is still queued then).
    bool addBufferedCommand(const QString &user, const KvrConfig &record);
    // Folds what waits into a new snapshot (the journal starts anew).
    bool saveBufferedCommands();
    // At login: reads the logged-in user's file (unless this session's adds
    // already did) and starts a sender for every waiting record.
    void loadBufferedCommands();
    // At logout: senders end at their next step; the file is left as it is.
    void stop();

    // The receiving side of the link filter: a part (or an acknowledgement)
    // with "Wivora::sender" and "Wivora::connectionID" set by the link.
    void receiveBufferedPart(const KvrConfig &record);
    // A part fetched from the relay, with "Wivora::sender" set to the sender
    // the server named; acknowledgements are ignored there. False when the
    // part completed a record that could not be delivered: the server must
    // keep it.
    bool receiveRelayedPart(const KvrConfig &record);

    // The records waiting for user.
    QList<KvrConfig> pendingCommands(const QString &user) const;
    // The snapshot of owner's buffered records, and its journal.
    static QString filePath(const QString &owner);
    static QString journalPath(const QString &owner);

private:
    struct Sender
    {
        QFuture<void> future;
        quint64 generation = 0;
        bool active = false; // cleared under the lock when it decides to end
    };
    struct PendingAck
    {
        QString user;
        bool acknowledged = false;
    };
    struct Reassembly
    {
        QString commandId;
        bool relayed = false;
        int lastPart = 0;
        int nextPart = 0;
        QByteArray bytes;
    };

    void loadLocked(const QString &owner);
    bool saveLocked();
    // The logged-in user's folder made and the store open on it.
    bool storeReadyLocked();
    void startSenderLocked(const QString &user);

    void sendBufferedCommands(const QString &user, quint64 generation);
    bool sendInParts(const QString &user, const KvrConfig &record, quint64 generation);
    bool relay(const QString &user, const KvrConfig &record, quint64 generation);
    bool relayOne(const QString &user, const KvrConfig &record, const QSharedPointer<WivoraAccount> &account);
    bool waitForPartAck(const QString &partId, quint64 generation);

    void receiveAcknowledgement(const KvrConfig &record);
    // False only when the part completed a record that was not delivered.
    bool receivePart(const KvrConfig &record, bool relayed);

    void reportProgress(Direction direction, const QString &user, int percent) const;

    SessionState *const m_session;
    const Roads m_roads;
    std::atomic<int> m_ackTimeoutMs{DefaultAckTimeoutMs};

    // Guards the queues, the owner and the senders, and the saves made from
    // there, so saves never interleave. Never held while sending.
    mutable QMutex m_mutex;
    std::atomic<quint64> m_generation{0}; // changed under m_mutex
    QString m_owner; // whose file the queues came from; empty while stopped
    QMap<QString, QList<KvrConfig>> m_queues;
    BufferedCommandsStore m_store{FileName};
    QHash<QString, Sender> m_senders;

    // Acknowledgements awaited, by part "ID".
    QMutex m_ackMutex;
    QWaitCondition m_ackArrived;
    QHash<QString, PendingAck> m_pendingAcks;

    // Records being received, per sender (canonical name), oldest first.
    QMutex m_reassemblyMutex;
    QHash<QString, QList<Reassembly>> m_reassembly;
};
