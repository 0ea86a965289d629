#pragma once

#include "PeerLinkQuota.h"
#include "UserConnection.h"

#include <QList>
#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>
#include <memory>

namespace boost {
namespace asio {
class io_context;
}
} // namespace boost

class IOCommandsTower;
class IWConnection;
class PendingLinkBudget;
class SessionState;
class UdpTower;

// Keeps every user link of the client and decides on which one a record
// leaves. A record from the output list goes out at once on the link it names
// or on a usable link to its receiver; otherwise a worker makes a link first
// (server-mode, or direct: TCP, then UDP, then a tunnel through the server).
// Links that peers open are accepted here too (incoming TCP from WTcpServer,
// tunnels and UDP sessions the main server announces), and a reaper closes
// idle links and accepted links whose peer never proved its name. Links whose
// peer stopped answering keep-alives are closed too (checkPeerLinks), so the
// next record makes a fresh link instead of waiting on a dead one.
//
// The object lives on WorkingThread (moved there by its owner), where
// accepts and every link's incoming filter run; a record to send is handed to
// its link on the sender's own thread. Link set-up never runs on either, so
// one slow or unreachable user does not hold up anybody else's traffic.
// The thread itself (start()) runs the I/O service of the UDP endpoint.
class ConnectionsThread : public QThread
{
    Q_OBJECT

public:
    // An open link that sent nothing useful for longer than this is closed.
    static constexpr int MaxIdleSeconds = 6000;
    // An accepted link whose peer has not authenticated by then is closed.
    static constexpr int DefaultAuthenticationDeadlineSeconds = 60;
    // A peer that has not answered a keep-alive by then counts as gone.
    static constexpr int DefaultPeerAnswerTimeoutMs = 10000;
    // The longest a worker's send waits for a peer to take what is queued.
    static constexpr int SendRoomWaitMs = 5000;

    ConnectionsThread(IOCommandsTower *commands, SessionState *session, QObject *parent = nullptr);
    ~ConnectionsThread() override;

    // Where "User::bufferedCommand" parts go; set before links exist.
    void setBufferedPartReceiver(const UserConnection::BufferedPartReceiver &receiver);
    void setAuthenticationDeadline(int seconds);
    void setPeerAnswerTimeoutMs(int ms);

    // The UDP endpoint; null until the thread runs.
    QSharedPointer<UdpTower> udpTower() const;

    // The listed link with that identifier; null when there is none.
    QSharedPointer<IWConnection> connection(const QString &connectionID) const;
    // A connected, authenticated link to the user of the asked kind exists.
    bool hasUserConnection(const QString &user, bool serverConnection) const;
    // A link with that identifier is connected and authenticated.
    bool isConnectionActive(const QString &connectionID) const;
    void closeConnection(const QString &connectionID);
    // Every link is disconnected; the reaper removes them.
    void closeAllConnections();
    // The identifier of a usable link to the user (unless forceNew) or of a
    // new one; empty when none could be made. Blocks the caller while the
    // link is set up; creations for one user run one at a time.
    QString getOrCreateConnection(const QString &user, bool serverConnection, bool forceNew);
    // The main server announced a tunnel or a UDP session from sender: it is
    // joined on a worker. A tunnel the peer opened as a server-mode link
    // becomes one here too. False when the quota of announced links refused
    // it (it is never joined; the server drops a tunnel, and a UDP session
    // expires there unpaired).
    bool requestTunnelAcceptance(const QString &tunnelid, const QString &sender, bool serverMode = false);
    bool requestUdpAcceptance(const QString &sender, const QString &cnnid);
    // Sends a copy of keepAlive (with an "ID" of its own) on every
    // established link, then closes each link whose peer did not answer
    // within the answer time-out. Returns early once stopRequested() is true.
    void checkPeerLinks(const KvrConfig &keepAlive, const std::function<bool()> &stopRequested);

public slots:
    // From WTcpServer: a peer connected to the listening port.
    void slotTcpConnectionArrived(int socketDescriptor);
    // From the output list, on the thread that put the record: a record for
    // user waits there under id. Never blocks.
    void slotSendCommand(const QString &id, const QString &user, bool isServerCommand, const QString &connectionID);

protected:
    void run() override;

private:
    using Entry = QSharedPointer<UserConnection>;

    Entry newUserConnection(const QString &mode, const QString &user);
    QList<Entry> entries() const;
    void addEntry(const Entry &entry);
    // The named link while it is connected, else the first link that
    // qualifies for the user and kind.
    QSharedPointer<IWConnection> findLink(const QString &user, bool serverConnection,
                                          const QString &connectionID = QString()) const;

    void waitForRoomIfWorker(IWConnection &link) const;
    void sendCommandThread(const QString &id, const QString &user, bool isServerCommand,
                           const QString &connectionID);
    void acceptOnWorker(const Entry &entry);
    void establishAccepted(const Entry &entry);
    // Lists a link the server announced and joins it on a worker, unless the
    // quota refuses it.
    bool acceptAnnounced(const Entry &entry);
    // Lists an announced link when the quota lets its peer hold one more,
    // closing a link of the peer holding most where it says so.
    bool listAnnounced(const Entry &entry);
    // A tunnel or UDP link the server announced, still being joined or open.
    static bool isOpenAnnounced(const Entry &entry);
    bool isStopping() const;
    void runOnWorker(std::function<void()> task);

    void startReaper();
    void reapConnections();
    void reapOnce();

    std::shared_ptr<boost::asio::io_context> m_io;
    IOCommandsTower *const m_commands;
    SessionState *const m_session;

    mutable QMutex m_mutex; // the members below
    QList<Entry> m_links;
    QSharedPointer<UdpTower> m_udpTower;
    UserConnection::BufferedPartReceiver m_bufferedPartReceiver;
    bool m_reaperRunning = false;
    bool m_stopping = false;
    QWaitCondition m_wakeReaper;

    std::atomic<int> m_authenticationDeadlineSeconds{DefaultAuthenticationDeadlineSeconds};
    std::atomic<int> m_peerAnswerTimeoutMs{DefaultPeerAnswerTimeoutMs};
    // Shared by the accepted links of the listening port.
    const std::shared_ptr<PendingLinkBudget> m_pendingBudget;
    // Tunnels and UDP links the server announces: one peer's word each.
    const PeerLinkQuota m_announcedQuota;
    // Link set-ups, sends that wait for a link, and the reaper. Its
    // destructor waits for them.
    QThreadPool m_workers;
};
