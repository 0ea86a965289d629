#include "UserConnection.h"

#include "ClientLogging.h"
#include "IOCommandsTower.h"
#include "ServiceSettings.h"
#include "SessionState.h"
#include "WTcpConnection.h"
#include "WUdpConnection.h"

#include <NetworkUtilities.h>
#include <ServerProtocol.h>
#include <WCryptography.h>
#include <WServerCommands.h>
#include <WUtilities.h>
#include <WivoraAccount.h>

#include <QMetaObject>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QThread>
#include <QtDebug>

#include <climits>
#include <unistd.h>

namespace P = ServerProtocol;

const QString UserConnection::ModeServer = QStringLiteral("server");
const QString UserConnection::ModeDirect = QStringLiteral("direct");
const QString UserConnection::ModeAcceptTcp = QStringLiteral("accepttcp");
const QString UserConnection::ModeAcceptTunnel = QStringLiteral("accepttunnel");
const QString UserConnection::ModeAcceptServer = QStringLiteral("acceptserver");
const QString UserConnection::ModeAcceptUdp = QStringLiteral("acceptudp");

namespace {

const QString KeyId = QString::fromLatin1(P::KeyId);
const QString KeyCommand = QString::fromLatin1(P::KeyCommand);
const QString KeyUserName = QString::fromLatin1(P::KeyUserName);
const QString KeyAuthString = QString::fromLatin1(P::KeyAuthString);
// The initiator's challenge to the peer on a direct link, and the peer's answer.
const QString KeyPeerChallenge = QStringLiteral("challenge");
const QString KeyPeerProof = QStringLiteral("proof");

const QString RoutingKeyPrefix = QString::fromLatin1(P::RoutingKeyPrefix);
const QString KeySender = QString::fromLatin1(P::RoutingKeySender);
const QString KeyConnection = QString::fromLatin1(P::RoutingKeyConnection);
const QString KeyConnectionId = QString::fromLatin1(P::RoutingKeyConnectionId);

const QString BufferedCommand = QStringLiteral("User::bufferedCommand");
const QString PluginSeparator = QStringLiteral(":::");

// How long the filter waits for an announced record (it is normally there at once).
constexpr int HandshakeFetchMs = 1000;
constexpr int RecordFetchMs = 10000;

KvrConfig replyTo(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetValue(KeyId, request.GetValue(KeyId));
    reply.SetValue(KeyCommand, request.GetValue(KeyCommand));
    reply.SetResult(false);
    return reply;
}

} // namespace

UserConnection::UserConnection(const Context &context, const QString &mode, QObject *parent)
    : QObject(parent)
    , m_context(context)
    , m_mode(mode)
{
}

UserConnection::~UserConnection() = default;

void UserConnection::setUser(const QString &user)
{
    QMutexLocker lock(&m_mutex);
    m_user = SessionState::canonicalUserName(user);
}

void UserConnection::setExtraIdentifier(const QString &identifier)
{
    m_extraIdentifier = identifier;
}

void UserConnection::setSocketDescriptor(qintptr descriptor)
{
    m_socketDescriptor = descriptor;
}

QString UserConnection::getUser() const
{
    QMutexLocker lock(&m_mutex);
    return m_user;
}

bool UserConnection::isBusy() const
{
    QMutexLocker lock(&m_mutex);
    return m_busy;
}

QSharedPointer<IWConnection> UserConnection::link() const
{
    QMutexLocker lock(&m_mutex);
    return m_established ? m_link : QSharedPointer<IWConnection>();
}

int UserConnection::secondsSinceEstablished() const
{
    QMutexLocker lock(&m_mutex);
    return m_established ? int(m_establishedClock.elapsed() / 1000) : 0;
}

QString UserConnection::ownName() const
{
    return m_context.session->userName();
}

void UserConnection::deleteOnOwnThread(QObject *object)
{
    QThread *home = object->thread();
    if (home && home != QThread::currentThread() && home->isRunning())
        object->deleteLater();
    else
        delete object;
}

// ---------------------------------------------------------------- set-up

bool UserConnection::establish()
{
    const QString user = getUser();
    {
        QMutexLocker lock(&m_mutex);
        m_busy = true;
    }

    bool established = false;
    if (m_mode == ModeDirect)
        established = connectDirect(user);
    else if (m_mode == ModeAcceptTunnel)
        established = acceptTunnel(m_extraIdentifier, user, IWConnection::PeerLink);
    else if (m_mode == ModeAcceptServer)
        established = acceptTunnel(m_extraIdentifier, user, IWConnection::ServerModeLink);
    else if (m_mode == ModeAcceptUdp)
        established = acceptUdp(user, m_extraIdentifier);
    else if (m_mode == ModeAcceptTcp)
        established = acceptTcp(m_socketDescriptor);
    else if (m_mode == ModeServer)
        established = connectServerMode(user);

    QList<QPair<QString, QString>> deferred;
    {
        QMutexLocker lock(&m_mutex);
        m_busy = false;
        deferred.swap(m_deferred);
    }
    // Records that came while the peer was still being verified.
    if (established && !deferred.isEmpty())
        QMetaObject::invokeMethod(this, [this, deferred] { replay(deferred); }, Qt::QueuedConnection);
    emit signalConnectionRoutineEnded();
    return established;
}

bool UserConnection::connectServerMode(const QString &user)
{
    const QString address = WUtilities::getUserIp(user);
    const QString key = WUtilities::getServerPublicKey(user);
    if (user.isEmpty() || address.isEmpty() || key.isEmpty())
        return false;
    const QSharedPointer<WTcpConnection> link = newTcpLink();
    // The server relays this link to the peer like a tunnel; the peer accepts
    // it through "Local::InitTunnelConnection".
    if (!link->connectToHost(address, ServiceSettings::port(), key) || !authenticateAtServer(link)
        || !WServerCommands::InitTunnelConnection(ownName(), user, link, true))
        return fail();
    finish(user, IWConnection::ServerModeLink, true, "connected tcp server");
    return true;
}

bool UserConnection::connectDirect(const QString &user)
{
    // No host information: the user is offline or unknown, so no road can work.
    const KvrConfig hostInfo = WServerCommands::getUserHostInfo(user);
    if (user.isEmpty() || hostInfo.isEmpty())
        return false;
    return connectDirectTcp(user, hostInfo) || connectUdp(user, hostInfo) || connectTunnel(user, hostInfo);
}

bool UserConnection::connectDirectTcp(const QString &user, const KvrConfig &hostInfo)
{
    if (hostInfo.isEmpty())
        return false;
    const QString port = hostInfo.gv(QString::fromLatin1(P::KeyTcpPort));
    const QString address = NetworkUtilities::getTcpActiveIp(hostInfo.gv(QString::fromLatin1(P::KeyAddresses)), port);
    if (address.isEmpty())
        return false;
    const QString key = WUtilities::getUserPublicKey(user);
    if (key.isEmpty())
        return false;
    const QSharedPointer<WTcpConnection> link = newTcpLink();
    if (!link->connectToHost(address, port, key) || !authenticateWithPeer(link, user, key))
        return fail();
    finish(user, IWConnection::PeerLink, true, "connected tcp direct");
    return true;
}

bool UserConnection::connectUdp(const QString &user, const KvrConfig &hostInfo)
{
    if (hostInfo.isEmpty() || !m_context.udpTower)
        return false;
    const QString address = WUtilities::getUserIp(user);
    const QString key = WUtilities::getUserPublicKey(user);
    if (address.isEmpty() || key.isEmpty())
        return false;
    // Unpredictable and never repeated in practice, so two set-ups cannot be
    // paired with each other's peer.
    const int session = int(QRandomGenerator::system()->bounded(1u, uint(INT_MAX)));
    const QSharedPointer<WUdpConnection> link = newUdpLink();
    const QSharedPointer<WivoraAccount> account = m_context.session->account();
    // The initiator signs the key exchange, and the peer checks that signature
    // against this user's key; sealing to the peer's key proves the peer.
    link->setKeyPair(account->getPublicKey(), account->getPrivateKey());
    if (!link->connectToHost(session, address, ownName(), user, key))
        return fail();
    finish(user, IWConnection::PeerLink, true, "connected udp direct");
    return true;
}

bool UserConnection::connectTunnel(const QString &user, const KvrConfig &hostInfo)
{
    if (hostInfo.isEmpty())
        return false;
    const QString address = WUtilities::getUserIp(user);
    const QString key = WUtilities::getServerPublicKey(user);
    if (address.isEmpty() || key.isEmpty())
        return false;
    const QSharedPointer<WTcpConnection> link = newTcpLink();
    // The server vouches for the peer: it tells only that user's main link.
    if (!link->connectToHost(address, ServiceSettings::port(), key) || !authenticateAtServer(link)
        || !WServerCommands::InitTunnelConnection(ownName(), user, link))
        return fail();
    finish(user, IWConnection::PeerLink, true, "connected tcp tunnel");
    return true;
}

bool UserConnection::acceptTunnel(const QString &tunnelId, const QString &sender, int connectionType)
{
    const QString own = ownName();
    const QString address = WUtilities::getUserIp(own);
    const QString key = WUtilities::getServerPublicKey(own);
    if (own.isEmpty() || sender.isEmpty() || tunnelId.isEmpty() || address.isEmpty() || key.isEmpty())
        return false;
    const QSharedPointer<WTcpConnection> link = newTcpLink();
    if (!link->connectToHost(address, ServiceSettings::port(), key)
        || !WServerCommands::AcceptTunnelConnection(tunnelId, link))
        return fail();
    finish(sender, connectionType, true,
           connectionType == IWConnection::ServerModeLink ? "connected tcp server" : "connected tcp tunnel");
    return true;
}

bool UserConnection::acceptUdp(const QString &sender, const QString &sessionId)
{
    const QString own = ownName();
    if (own.isEmpty() || sender.isEmpty() || !m_context.udpTower)
        return false;
    const QString address = WUtilities::getUserIp(own);
    bool isNumber = false;
    const int session = sessionId.toInt(&isNumber);
    if (address.isEmpty() || !isNumber)
        return false;
    // The link is refused unless the initiator signs with this key.
    const QString senderKey = WUtilities::getUserPublicKey(sender);
    if (senderKey.isEmpty())
        return false;
    const QSharedPointer<WUdpConnection> link = newUdpLink();
    const QSharedPointer<WivoraAccount> account = m_context.session->account();
    link->setKeyPair(account->getPublicKey(), account->getPrivateKey());
    link->setPeerPublicKey(senderKey);
    if (!link->connectToHost(session, address, own, sender))
        return fail();
    finish(sender, IWConnection::PeerLink, true, "connected udp");
    return true;
}

bool UserConnection::acceptTcp(qintptr descriptor)
{
    if (descriptor < 0)
        return false;
    const QSharedPointer<WivoraAccount> account = m_context.session->account();
    if (ownName().isEmpty() || account->getPrivateKey().isEmpty()) {
        // Nobody to answer as: the socket is not used, so it is closed here.
        ::close(int(descriptor));
        return false;
    }
    const QSharedPointer<WTcpConnection> link = newTcpLink();
    link->setKeyPair(account->getPublicKey(), account->getPrivateKey());
    link->setPendingBudget(m_context.pendingBudget);
    // The transport takes the descriptor over, and closes it when it fails.
    if (!link->setSocketDesctiptor(descriptor))
        return fail();
    // Without a user until the peer passes the handshake; a send by user name
    // cannot select it before that.
    finish(QString(), IWConnection::PeerLink, false, "accepted tcp");
    return true;
}

QSharedPointer<WTcpConnection> UserConnection::newTcpLink()
{
    QSharedPointer<WTcpConnection> link(new WTcpConnection, &UserConnection::deleteOnOwnThread);
    link->setArrivalRoute(arrivalRoute(link.data()));
    connect(link.data(), &WTcpConnection::signalCommandToFilter, this, &UserConnection::slotCommandReceived);
    adoptCandidate(link, link.data());
    return link;
}

QSharedPointer<WUdpConnection> UserConnection::newUdpLink()
{
    QSharedPointer<WUdpConnection> link(new WUdpConnection(m_context.udpTower), &UserConnection::deleteOnOwnThread);
    link->setArrivalRoute(arrivalRoute(link.data()));
    connect(link.data(), &WUdpConnection::signalCommandToFilter, this, &UserConnection::slotCommandReceived);
    adoptCandidate(link, link.data());
    return link;
}

void UserConnection::adoptCandidate(const QSharedPointer<IWConnection> &link, QObject *object)
{
    // The link's signals are handled where this object lives, from the first
    // record on: an announcement nobody hears would leave its record unrouted.
    object->moveToThread(thread());
    // Named from the start too: a record that arrives before the set-up ends
    // is stamped with the identifier its reply must leave on.
    link->createConnectionID();
    QMutexLocker lock(&m_mutex);
    m_link = link;
    m_linkObject = object;
}

void UserConnection::finish(const QString &user, int connectionType, bool authenticated, const char *logLine)
{
    QSharedPointer<IWConnection> link;
    {
        QMutexLocker lock(&m_mutex);
        link = m_link;
        if (!user.isEmpty())
            m_user = user;
    }
    link->setConnectionType(connectionType);
    // An accepted link hears the peer's handshake as soon as it is adopted,
    // so the peer may have proved its name already: never blank it.
    if (!user.isEmpty())
        link->setUser(user);
    if (authenticated)
        link->setAuthenticated(true);
    {
        QMutexLocker lock(&m_mutex);
        m_established = true;
        m_establishedClock.start();
    }
    qCDebug(lcLinks) << logLine;
}

bool UserConnection::fail()
{
    QSharedPointer<IWConnection> link;
    {
        QMutexLocker lock(&m_mutex);
        link.swap(m_link);
        m_linkObject = nullptr;
        m_established = false;
    }
    if (link)
        link->disconnectFromHost();
    return false;
}

// ---------------------------------------------------------------- handshake

bool UserConnection::authenticateAtServer(const QSharedPointer<WTcpConnection> &link) const
{
    const QByteArray challenge = WServerCommands::GetAuthenticationString(link);
    if (challenge.isEmpty())
        return false;
    const QByteArray signature = WCryptography::SignMessageRSASHA(
        m_context.session->account()->getPrivateKey(), WServerCommands::AuthenticationMessage(challenge, QString()));
    return !signature.isEmpty() && WServerCommands::VerifyUser(ownName(), signature, link);
}

bool UserConnection::authenticateWithPeer(const QSharedPointer<WTcpConnection> &link, const QString &peer,
                                          const QString &peerKey) const
{
    const QByteArray challenge = WServerCommands::GetAuthenticationString(link);
    if (challenge.isEmpty())
        return false;
    const QString own = ownName();
    KvrConfig request;
    request.SetID();
    request.SetValue(KeyCommand, P::AuthenticateUser);
    request.sv(KeyUserName, own);
    request.SetValue(KeyAuthString,
                     WCryptography::SignMessageRSASHA(m_context.session->account()->getPrivateKey(),
                                                      WServerCommands::AuthenticationMessage(challenge, peer)));
    // The answering side must hold the key of the user this client meant to
    // reach, whatever address the link happened to end at.
    const QByteArray peerChallenge = WCryptography::GenerateRandom();
    request.SetValue(KeyPeerChallenge, peerChallenge);
    const KvrConfig reply = link->sendCommand(request, WServerCommands::TimeoutMs);
    return reply.GetID() == request.GetID() && reply.checkResult()
        && WCryptography::VerifyMessageRSASHA(peerKey, reply.GetValue(KeyPeerProof),
                                              peerProofMessage(peerChallenge, peer, own));
}

QByteArray UserConnection::peerProofMessage(const QByteArray &challenge, const QString &prover,
                                            const QString &verifier)
{
    // Tagged and bound to both names, so it can serve neither as an answer
    // to a plain challenge nor as proof towards another user.
    QByteArray message("wivora peer proof");
    message += '\0' + prover.toUtf8() + '\0' + verifier.toUtf8() + '\0' + challenge;
    return message;
}

KvrConfig UserConnection::answerGetAuthenticationString(const KvrConfig &request, IWConnection *link) const
{
    KvrConfig reply = replyTo(request);
    const QByteArray challenge = WCryptography::GenerateRandom();
    if (challenge.isEmpty())
        return reply;
    link->setAuthString(challenge);
    reply.SetValue(KeyAuthString, challenge);
    reply.SetResult(true);
    return reply;
}

KvrConfig UserConnection::answerAuthenticateUser(const KvrConfig &request, IWConnection *link)
{
    KvrConfig reply = replyTo(request);
    // A challenge answers one attempt, right or wrong.
    const QByteArray challenge = link->getAuthString();
    link->setAuthString(QByteArray());
    const QString user = SessionState::canonicalUserName(request.gv(KeyUserName));
    if (challenge.isEmpty() || user.isEmpty() || !request.CheckKeyExist(KeyAuthString))
        return reply;
    // A link proves one name only.
    if (link->isAuthenticated() && link->getUser() != user)
        return reply;
    const QString key = WUtilities::getUserPublicKey(user);
    if (key.isEmpty()
        || !WCryptography::VerifyMessageRSASHA(key, request.GetValue(KeyAuthString),
                                               WServerCommands::AuthenticationMessage(challenge, ownName())))
        return reply;
    if (!link->admitProvenPeer(user, m_context.session->isContact(user)))
        return reply;

    link->setUser(user);
    link->setAuthenticated(true);
    {
        QMutexLocker lock(&m_mutex);
        m_user = user;
    }
    const QByteArray peerChallenge = request.GetValue(KeyPeerChallenge);
    if (!peerChallenge.isEmpty()) {
        reply.SetValue(KeyPeerProof,
                       WCryptography::SignMessageRSASHA(m_context.session->account()->getPrivateKey(),
                                                        peerProofMessage(peerChallenge, ownName(), user)));
    }
    reply.SetResult(true);
    return reply;
}

// ---------------------------------------------------------------- incoming filter

void UserConnection::slotCommandReceived(const QString &id, const QString &command)
{
    QSharedPointer<IWConnection> link;
    {
        QMutexLocker lock(&m_mutex);
        // Announcements of a link given up during the set-up are stale.
        if (!m_link || sender() != m_linkObject)
            return;
        link = m_link;
    }
    filter(link, id, command);
}

void UserConnection::replay(const QList<QPair<QString, QString>> &deferred)
{
    const QSharedPointer<IWConnection> current = link();
    if (!current)
        return;
    for (const auto &announcement : deferred)
        filter(current, announcement.first, announcement.second);
}

void UserConnection::filter(const QSharedPointer<IWConnection> &link, const QString &id, const QString &command)
{
    if (command == QLatin1String(P::Pong))
        return;
    if (command == QLatin1String(P::Ping)) {
        const KvrConfig ping = link->getCommand(id, HandshakeFetchMs);
        if (ping.isEmpty())
            return;
        KvrConfig pong;
        pong.SetValue(KeyId, ping.GetValue(KeyId));
        pong.SetValue(KeyCommand, P::Pong);
        pong.SetResult(true);
        link->pushCommand(pong);
        return;
    }
    if (command == QLatin1String(P::GetAuthenticationString)) {
        const KvrConfig request = link->getCommand(id, HandshakeFetchMs);
        if (!request.isEmpty())
            link->pushCommand(answerGetAuthenticationString(request, link.data()));
        return;
    }
    if (command == QLatin1String(P::AuthenticateUser)) {
        const KvrConfig request = link->getCommand(id, HandshakeFetchMs);
        if (!request.isEmpty())
            link->pushCommand(answerAuthenticateUser(request, link.data()));
        return;
    }

    if (!link->isAuthenticated()) {
        {
            QMutexLocker lock(&m_mutex);
            if (m_busy) {
                m_deferred.append(qMakePair(id, command));
                return;
            }
        }
        link->getCommand(id, 0); // a stranger's record: dropped
        return;
    }
    // Local commands come from the main-server link only.
    if (command.startsWith(QLatin1String(P::LocalPrefix)) || command.startsWith(QLatin1String(P::WebLocalPrefix))) {
        link->getCommand(id, 0);
        return;
    }
    if (command == BufferedCommand) {
        qCDebug(lcLinks).noquote() << "command received User::bufferedCommand id:" << id;
        route(link, link->getCommand(id, RecordFetchMs), true);
        return;
    }
    if (command.contains(PluginSeparator))
        route(link, link->getCommand(id, RecordFetchMs), false);
}

LinkState::ArrivalRoute UserConnection::arrivalRoute(IWConnection *link) const
{
    // The link holds the route, so it is alive whenever the route runs; the
    // input list outlives every link.
    IOCommandsTower *const commands = m_context.commands;
    return [commands, link](const QString &id, const QString &command) {
        // A proven peer's plug-in record needs nothing of the filter's thread;
        // everything else (keep-alives, the handshake, buffered parts, what
        // arrives before the proof) goes to the filter.
        if (!link->isAuthenticated() || !isPluginRecord(command))
            return false;
        KvrConfig record = link->getCommand(id, 0); // announced records are there
        if (!record.isEmpty()) {
            stampRoutingKeys(&record, *link);
            commands->putInputCommand(record);
        }
        return true;
    };
}

bool UserConnection::isPluginRecord(const QString &command)
{
    // Local commands come from the main-server link only.
    return command.contains(PluginSeparator) && !command.startsWith(QLatin1String(P::LocalPrefix))
        && !command.startsWith(QLatin1String(P::WebLocalPrefix));
}

void UserConnection::stampRoutingKeys(KvrConfig *record, const IWConnection &link)
{
    // Routing keys are this host's to set: whatever the peer wrote goes.
    record->RemoveKeysWithPrefix(RoutingKeyPrefix);
    record->sv(KeySender, link.getUser());
    record->sv(KeyConnection, link.getConnectionType() == IWConnection::PeerLink ? QStringLiteral("0")
                                                                                  : QStringLiteral("1"));
    record->sv(KeyConnectionId, link.getConnectionID());
}

void UserConnection::route(const QSharedPointer<IWConnection> &link, KvrConfig record, bool bufferedPart)
{
    if (record.isEmpty())
        return;
    stampRoutingKeys(&record, *link);
    if (bufferedPart) {
        if (m_context.bufferedPartReceiver)
            m_context.bufferedPartReceiver(record);
        return;
    }
    m_context.commands->putInputCommand(record);
}
