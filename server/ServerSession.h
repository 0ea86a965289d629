#pragma once

#include "KvrConfig.h"
#include "TcpConnection.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>

struct ServerContext;

// One link to the main server and the requests that arrive on it. A link is
// a main link once a user logged in on it; it may instead authenticate with
// a signed challenge and then become one leg of a tunnel, after which every
// record is passed to the other leg unchanged. Lives on the main thread.
//
// Records are taken from the link only while what they lead to has room:
// the link's own unsent replies for requests, the other leg's for a relay.
// Otherwise they wait in the link (which then stops reading) until that
// link signals room again.
class ServerSession : public QObject
{
    Q_OBJECT
public:
    ServerSession(ServerContext &context, const QSharedPointer<TcpConnection> &link,
                  QObject *parent = nullptr);
    ~ServerSession() override;

    QSharedPointer<TcpConnection> link() const { return m_link; }
    void closeLink();

    // The same user logged in on another link: this one is no main link any more.
    void replacedByNewLogin();
    // Makes this session a tunnel leg passing records to other.
    void startRelay(ServerSession *other);

signals:
    // Once, when the link ended and the session cleaned up.
    void signalSessionEnded();

private slots:
    void slotCommandReceived(const QString &id, const QString &command);
    void slotConnectionEnded();
    // Handles the next record that arrived, while there is room.
    void handleArrivals();

private:
    enum class Mode { Requests, TunnelWaiting, TunnelRelaying };
    using Handler = bool (ServerSession::*)(const KvrConfig &request, KvrConfig &reply);

    void scheduleArrivals();
    bool hasRoomForNext() const;
    void dispatch(const KvrConfig &record);
    void handleRequest(const KvrConfig &request);
    void logRequest(const QString &command, const KvrConfig &request) const;
    void finishLogin(const QByteArray &id, const QString &user, const QString &accountTextBefore,
                     const QStringList &pendingContacts, bool verified, const QString &mergedAccountText);
    // Sends the reply of the password work that ended and goes on with the
    // requests held meanwhile.
    void finishPasswordWork(const KvrConfig &reply);
    void relayRecord(const KvrConfig &record);
    void bindLogin(const QString &user);
    bool refuseAsBusy(KvrConfig &reply);
    // Why a record of recordBytes may not join the receiver's queue; empty when it may.
    QString relayRefusal(const QString &receiver, qint64 recordBytes);
    void goOffline();
    void notifyWatchers(const QString &user, const QByteArray &status);
    QString statusText(const QString &user) const;
    static const QHash<QString, Handler> &handlers();

    // Main link
    bool handlePing(const KvrConfig &request, KvrConfig &reply);
    bool handleLogin(const KvrConfig &request, KvrConfig &reply);
    bool handleUpdateUserStatus(const KvrConfig &request, KvrConfig &reply);
    bool handleSendHostInformation(const KvrConfig &request, KvrConfig &reply);
    bool handleGetAccount(const KvrConfig &request, KvrConfig &reply);
    bool handleSaveAccount(const KvrConfig &request, KvrConfig &reply);
    bool handleGetLastAccountSaveTime(const KvrConfig &request, KvrConfig &reply);
    bool handleSetPassword(const KvrConfig &request, KvrConfig &reply);
    bool handleUpdateVCard(const KvrConfig &request, KvrConfig &reply);
    bool handleConnectToUser(const KvrConfig &request, KvrConfig &reply);
    bool handleDisconnectFromUser(const KvrConfig &request, KvrConfig &reply);
    bool handleGetConnectedUsers(const KvrConfig &request, KvrConfig &reply);
    bool handleGetUserHostInfo(const KvrConfig &request, KvrConfig &reply);
    // Handshake and tunnels
    bool handleGetAuthenticationString(const KvrConfig &request, KvrConfig &reply);
    bool handleAuthenticateUser(const KvrConfig &request, KvrConfig &reply);
    bool handleInitTunnelConnection(const KvrConfig &request, KvrConfig &reply);
    bool handleAcceptTunnelConnection(const KvrConfig &request, KvrConfig &reply);
    // Relay
    bool handleGetExchangeCommand(const KvrConfig &request, KvrConfig &reply);
    bool handleDeleteExchangeCommand(const KvrConfig &request, KvrConfig &reply);
    bool handleSendExchangeCommand(const KvrConfig &request, KvrConfig &reply);
    bool handleExchangeCommandTrigger(const KvrConfig &request, KvrConfig &reply);
    // Queries
    bool handleGetUserStatus(const KvrConfig &request, KvrConfig &reply);
    bool handleGetUserVCard(const KvrConfig &request, KvrConfig &reply);
    bool handleFindUser(const KvrConfig &request, KvrConfig &reply);
    bool handleGetPlugins(const KvrConfig &request, KvrConfig &reply);
    bool handleCheckClientUpdate(const KvrConfig &request, KvrConfig &reply);
    bool handleCheckPluginUpdate(const KvrConfig &request, KvrConfig &reply);
    bool handleGetTime(const KvrConfig &request, KvrConfig &reply);
    bool handleGetServerPublicKey(const KvrConfig &request, KvrConfig &reply);
    bool handleGetUserPublicKey(const KvrConfig &request, KvrConfig &reply);

    ServerContext &m_context;
    QSharedPointer<TcpConnection> m_link;
    Mode m_mode = Mode::Requests;
    QString m_user;              // logged in on this link (a main link)
    QString m_authenticatedUser; // proved its key on this link
    QByteArray m_challenge;
    QPointer<ServerSession> m_relayPeer;
    QList<KvrConfig> m_waitingRecords; // a tunnel's records before its peer joined
    qint64 m_waitingBytes = 0;
    bool m_ended = false;
    QList<QString> m_arrivedIds; // announced by the link, not handled yet
    bool m_holdingReading = false;
    bool m_arrivalsScheduled = false;
    // While a password is checked or hashed off the main thread, later
    // requests of this link wait here, so replies keep their order.
    bool m_passwordWorking = false;
    QList<KvrConfig> m_heldRequests;
};
