#pragma once

#include "KvrConfig.h"
#include "ServerProtocol.h"
#include "basislib_global.h"

#include <QByteArray>
#include <QDateTime>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

class TcpConnection;
class WivoraAccount;

// The client's requests on its main-server link (and on the server legs of
// tunnels and server-mode links). Every call blocks until the reply came or
// its time-out passed, and gives false, an empty record or an empty text on
// any failure: no link, a link that is not connected, a time-out or a
// refusal by the server. Safe from any thread.
//
// A successful Login registers its link as that user's main link for the
// calls that take no link (ConnectToUser, DisconnectFromUser,
// getUserHostInfo, sendExchangeCommand); the registration ends with the link.
class BASISLIB_EXPORT WServerCommands
{
public:
    WServerCommands() = delete;

    // How long each call waits for its reply.
    static constexpr int TimeoutMs = ServerProtocol::RequestTimeoutMs;

    using Link = QSharedPointer<TcpConnection>;

    // refusal, when given, receives the server's reason when it refused the
    // login with one (e.g. too many failed logins, and how long to wait);
    // answered whether the server replied at all (false on a time-out).
    static bool Login(const QString &user, const QString &password, const Link &link,
                      QString *refusal = nullptr, bool *answered = nullptr);
    static bool Ping(const Link &link);
    static bool UpdateUserStatus(int status, const Link &link);
    // The own address as the server sees it; empty on failure.
    static QString SendHostInformation(const QString &addresses, int port, const Link &link);

    static QString getAccount(const Link &link);
    static bool saveAccount(const QString &accountText, const Link &link);
    // Invalid when unknown or on failure.
    static QDateTime getLastAccountSaveTime(const Link &link);
    static bool setPassword(const QByteArray &password, const Link &link);
    static bool updateVCard(const QString &serializedVCard, const Link &link);

    // Add and remove the relation "own has contact" that status pushes follow.
    static bool ConnectToUser(const QString &own, const QString &contact);
    static bool DisconnectFromUser(const QString &own, const QString &contact);
    // The users to tell about a change of the own vCard.
    static QStringList GetConnectedUsers(const Link &link);
    // {"addresses", "tcpPort"} of an online user; a record with no keys at all
    // when the user is offline or unknown, or on failure.
    static KvrConfig getUserHostInfo(const QString &user);

    // The handshake: the far side's challenge, then the own signature of
    // AuthenticationMessage(challenge, verifier).
    static QByteArray GetAuthenticationString(const Link &link);
    static bool VerifyUser(const QString &own, const QByteArray &signature, const Link &link);
    // What a user signs to answer a challenge, bound to who asked: the main
    // server (an empty verifier) or the named user. A signature given to one
    // verifier therefore cannot be replayed to another: a peer that forwards
    // the server's challenge gets nothing the server accepts.
    static QByteArray AuthenticationMessage(const QByteArray &challenge, const QString &verifier);

    // Asks the server to open a tunnel from this link to the peer.
    // serverMode: the link stands for a server-mode link, and the peer is told so.
    static bool InitTunnelConnection(const QString &own, const QString &peer, const Link &link,
                                     bool serverMode = false);
    // Joins this link to the tunnel a peer opened.
    static bool AcceptTunnelConnection(const QString &tunnelId, const Link &link);

    // The oldest record relayed to the logged-in user; empty when none is left.
    // sender, when given, receives the name of the user the server says
    // relayed it (empty when the server does not know).
    static KvrConfig getExchangeCommand(const Link &link, QString *sender = nullptr);
    // The oldest relayed record after the one with id after (0: the oldest
    // of all), left on the server until deleteExchangeCommand names it:
    // exchangeId receives its id (0 when none is left or on failure). A
    // record the server holds but that does not parse comes back empty with
    // its id, so the caller can delete it.
    static KvrConfig peekExchangeCommand(const Link &link, qint64 after, qint64 *exchangeId,
                                         QString *sender = nullptr);
    static bool deleteExchangeCommand(const Link &link, qint64 exchangeId);
    // The largest record (binary form) one relay request carries: a frame of
    // the main link holds it with the request around it.
    static constexpr int MaxExchangeRecordSize = 16 * 1024 * 1024 - 64 * 1024;
    // Relays the record to the receiver through the main link of the
    // account's user.
    static bool sendExchangeCommand(const QString &receiver, const KvrConfig &record,
                                    const QSharedPointer<WivoraAccount> &account);
};
