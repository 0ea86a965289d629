#pragma once

#include "LinkState.h"

#include <KvrConfig.h>

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QSharedPointer>
#include <QString>

#include <functional>
#include <memory>

class IOCommandsTower;
class IWConnection;
class PendingLinkBudget;
class SessionState;
class UdpTower;
class WTcpConnection;
class WUdpConnection;

// Owns one user link from its set-up to its end and filters what arrives on
// it: keep-alives and the two handshake commands are answered here, buffered
// parts go to the buffered-command store, and plug-in records ("...:::...")
// enter the input list with the routing keys "Wivora::sender",
// "Wivora::connection" and "Wivora::connectionID".
//
// A proven peer's plug-in records take a shorter road: the link puts them
// into the input list on the thread that read them (arrivalRoute), under the
// same rules, and only the rest comes to the filter.
//
// establish() blocks its caller for the network steps, so the link manager
// runs it on a worker thread. The object itself, and the link object it
// makes, live on the thread the object was moved to before (the link
// manager's thread), where the filter runs: a slow set-up never holds up the
// traffic of other links.
//
// Only a peer that proved its name has its records routed. Until then a link
// answers "ping" and the handshake and drops the rest; what arrives while the
// set-up still runs waits for its end.
class UserConnection : public QObject
{
    Q_OBJECT

public:
    // Made by this client to send.
    static const QString ModeServer;
    static const QString ModeDirect;
    // Answering a peer's approach.
    static const QString ModeAcceptTcp;
    static const QString ModeAcceptTunnel;
    // A tunnel the peer opened as a server-mode link.
    static const QString ModeAcceptServer;
    static const QString ModeAcceptUdp;

    using BufferedPartReceiver = std::function<void(const KvrConfig &part)>;

    // What every link of one client shares.
    struct Context
    {
        SessionState *session = nullptr;
        IOCommandsTower *commands = nullptr;
        QSharedPointer<UdpTower> udpTower;
        BufferedPartReceiver bufferedPartReceiver;
        // What accepted links may hold until their peer authenticated.
        std::shared_ptr<PendingLinkBudget> pendingBudget;
    };

    UserConnection(const Context &context, const QString &mode, QObject *parent = nullptr);
    ~UserConnection() override;

    // Set before establish(): the peer ("server", "direct", "accepttunnel",
    // "acceptserver", "acceptudp"), the tunnel id or UDP session number of
    // the accepting modes, the accepted socket of "accepttcp".
    void setUser(const QString &user);
    void setExtraIdentifier(const QString &identifier);
    void setSocketDescriptor(qintptr descriptor);

    QString getUser() const;
    QString mode() const { return m_mode; }
    // True until establish() has ended.
    bool isBusy() const;
    // Null until a set-up succeeded.
    QSharedPointer<IWConnection> link() const;
    // Whole seconds since the set-up succeeded.
    int secondsSinceEstablished() const;

    // The set-up routine of the mode; true when it ended with a link.
    bool establish();

    // The handshake's answering side.
    KvrConfig answerGetAuthenticationString(const KvrConfig &request, IWConnection *link) const;
    KvrConfig answerAuthenticateUser(const KvrConfig &request, IWConnection *link);

    // What a peer signs to prove its name to the user that challenged it.
    static QByteArray peerProofMessage(const QByteArray &challenge, const QString &prover,
                                       const QString &verifier);

    // Deletes a QObject on its own thread when that thread runs an event
    // loop elsewhere, otherwise at once (the deleter of shared links).
    static void deleteOnOwnThread(QObject *object);

signals:
    void signalConnectionRoutineEnded();

public slots:
    void slotCommandReceived(const QString &id, const QString &command);

private:
    bool connectServerMode(const QString &user);
    bool connectDirect(const QString &user);
    bool connectDirectTcp(const QString &user, const KvrConfig &hostInfo);
    bool connectUdp(const QString &user, const KvrConfig &hostInfo);
    bool connectTunnel(const QString &user, const KvrConfig &hostInfo);
    // connectionType: the kind of link the peer asked for.
    bool acceptTunnel(const QString &tunnelId, const QString &sender, int connectionType);
    bool acceptUdp(const QString &sender, const QString &sessionId);
    bool acceptTcp(qintptr descriptor);

    // A new link object wired to the filter, moved to this object's thread
    // and kept as the link being set up.
    QSharedPointer<WTcpConnection> newTcpLink();
    QSharedPointer<WUdpConnection> newUdpLink();
    void adoptCandidate(const QSharedPointer<IWConnection> &link, QObject *object);
    // The last steps of every successful set-up.
    void finish(const QString &user, int connectionType, bool authenticated, const char *logLine);
    // Releases the link being set up; always false.
    bool fail();

    // Connects to the main server and proves the own name there.
    bool authenticateAtServer(const QSharedPointer<WTcpConnection> &link) const;
    // Proves the own name to the peer and has the peer prove its name.
    bool authenticateWithPeer(const QSharedPointer<WTcpConnection> &link, const QString &peer,
                              const QString &peerKey) const;

    // What the link does with a record as it is announced, before the
    // filter: it puts a proven peer's plug-in records into the input list.
    LinkState::ArrivalRoute arrivalRoute(IWConnection *link) const;
    // Named for a plug-in, and no "Local::" or "WebLocal::" name.
    static bool isPluginRecord(const QString &command);
    static void stampRoutingKeys(KvrConfig *record, const IWConnection &link);

    void filter(const QSharedPointer<IWConnection> &link, const QString &id, const QString &command);
    void replay(const QList<QPair<QString, QString>> &deferred);
    void route(const QSharedPointer<IWConnection> &link, KvrConfig record, bool bufferedPart);

    QString ownName() const;

    const Context m_context;
    const QString m_mode;
    QString m_extraIdentifier;
    qintptr m_socketDescriptor = -1;

    mutable QMutex m_mutex; // everything below
    QString m_user;
    // From construction until establish() has ended, so a link listed
    // before its set-up is not taken for a dead one.
    bool m_busy = true;
    bool m_established = false;
    QElapsedTimer m_establishedClock;
    QSharedPointer<IWConnection> m_link; // also while being set up
    QObject *m_linkObject = nullptr;     // the same object: the sender the filter listens to
    QList<QPair<QString, QString>> m_deferred;
};
