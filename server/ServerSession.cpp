#include "ServerSession.h"

#include "LoginThrottle.h"
#include "PasswordWorkPool.h"
#include "PluginCatalogue.h"
#include "ServerContext.h"
#include "ServerProtocol.h"
#include "ServerStore.h"
#include "SessionRegistry.h"
#include "TunnelBroker.h"
#include "UserAdministration.h"
#include "WCryptography.h"
#include "WServerCommands.h"
#include "WDataStructure.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QSet>

Q_LOGGING_CATEGORY(lcMain, "wivora.main")

namespace P = ServerProtocol;

namespace {

constexpr int MaxUsersPerQuery = 1000;
constexpr int MaxRelayQueue = 10000;
// Both quotas hold a whole record of the client's largest size (64 MiB, relayed
// in parts) with room to spare; together they bound what one user can make the
// server write to disk.
constexpr qint64 MaxRelayBytesPerReceiver = 96 * 1024 * 1024;
constexpr qint64 MaxRelayBytesPerSender = 192 * 1024 * 1024;
// A client waits for its login reply before it sends more; a link that piles
// up requests meanwhile is not a client.
constexpr int MaxHeldRequests = 64;
constexpr int MaxHostAddressesLength = 2048;
constexpr int MaxWaitingRecords = 10000;
constexpr qint64 MaxWaitingBytes = 64 * 1024 * 1024;
constexpr int ChallengeBytes = 32;

QString text(const KvrConfig &record, const char *key)
{
    return record.gv(QLatin1String(key));
}

bool hasKey(const KvrConfig &record, const char *key)
{
    return record.CheckKeyExist(QLatin1String(key));
}

KvrConfig replyTo(const QByteArray &id, const char *command)
{
    KvrConfig reply;
    reply.SetValue(QStringLiteral("ID"), id);
    reply.SetValue(QLatin1String(P::KeyCommand), command);
    reply.SetResult(false);
    return reply;
}

KvrConfig push(const char *command)
{
    KvrConfig record;
    record.SetID();
    record.SetValue(QLatin1String(P::KeyCommand), command);
    return record;
}

// Names of records that belong to a client's own routing, never to a request.
bool isClientRoutedName(const QString &command)
{
    return command.startsWith(QLatin1String(P::LocalPrefix))
           || command.startsWith(QLatin1String(P::WebLocalPrefix))
           || command.contains(QLatin1String(":::")) || command == QLatin1String(P::Pong);
}

// A relayed record may not pose as a push of the server: the receiving client
// carries out "Local::" records itself. The contact's vCard notice is the one
// "Local::" record clients relay to each other.
bool isRelayableName(const QString &command)
{
    if (command.startsWith(QLatin1String(P::WebLocalPrefix)))
        return false;
    if (command.startsWith(QLatin1String(P::LocalPrefix)))
        return command == QLatin1String("Local::vcardupdate");
    return true;
}

// Leaves the result false and says why, for the client to show.
bool refuseAsTooLarge(KvrConfig &reply, const char *what, int maximumBytes)
{
    reply.SetValue(QLatin1String(P::KeyReason),
                   QStringLiteral("the %1 is larger than the server keeps (%2 KiB at most)")
                       .arg(QLatin1String(what))
                       .arg(maximumBytes / 1024));
    return true;
}

bool parseInt(const QString &value, int minimum, int maximum, int *result)
{
    bool ok = false;
    const int number = value.toInt(&ok);
    if (!ok || number < minimum || number > maximum)
        return false;
    *result = number;
    return true;
}

} // namespace

ServerSession::ServerSession(ServerContext &context, const QSharedPointer<TcpConnection> &link,
                             QObject *parent)
    : QObject(parent)
    , m_context(context)
    , m_link(link)
{
    connect(m_link.data(), &TcpConnection::signalCommandReceived, this,
            &ServerSession::slotCommandReceived, Qt::QueuedConnection);
    connect(m_link.data(), &TcpConnection::signalConnectionEnded, this,
            &ServerSession::slotConnectionEnded, Qt::QueuedConnection);
    connect(m_link.data(), &TcpConnection::signalSendRoom, this, &ServerSession::handleArrivals,
            Qt::QueuedConnection);
}

ServerSession::~ServerSession()
{
    m_link->disconnect(this);
}

void ServerSession::closeLink()
{
    m_link->disconnectFromHost();
}

void ServerSession::slotConnectionEnded()
{
    if (m_ended)
        return;
    m_ended = true;
    goOffline();
    m_context.tunnels.release(this);
    m_waitingRecords.clear();
    if (m_relayPeer)
        m_relayPeer->closeLink();
    emit signalSessionEnded();
}

void ServerSession::slotCommandReceived(const QString &id, const QString &command)
{
    Q_UNUSED(command)
    m_arrivedIds << id;
    scheduleArrivals();
}

void ServerSession::scheduleArrivals()
{
    if (m_arrivalsScheduled)
        return;
    m_arrivalsScheduled = true;
    QMetaObject::invokeMethod(this, &ServerSession::handleArrivals, Qt::QueuedConnection);
}

// One record per turn of the event loop: a link with many requests waiting
// takes its turn behind every other link's, so a flood of costly requests
// delays nobody else by more than one of them.
void ServerSession::handleArrivals()
{
    m_arrivalsScheduled = false;
    const bool relayingWaiting = m_mode == Mode::TunnelRelaying && !m_waitingRecords.isEmpty();
    if (m_ended || (!relayingWaiting && m_arrivedIds.isEmpty())) {
        if (m_holdingReading) {
            m_holdingReading = false;
            m_link->holdReading(false);
        }
        return;
    }
    if (!hasRoomForNext()) {
        // A relay's own link would go on reading into the inbox: hold it
        // until the other leg takes more.
        if (m_mode == Mode::TunnelRelaying && !m_holdingReading) {
            m_holdingReading = true;
            m_link->holdReading(true);
        }
        return; // the link that is full signals room
    }
    if (relayingWaiting) {
        const KvrConfig record = m_waitingRecords.takeFirst();
        m_waitingBytes -= record.SerializeConfigBinary().size();
        relayRecord(record);
    } else if (const KvrConfig record = m_link->getCommand(m_arrivedIds.takeFirst(), 0); !record.isEmpty()) {
        dispatch(record);
    }
    scheduleArrivals();
}

// A link that does not take its replies gets no more of them; a tunnel leg
// passes records on only as fast as the other leg's far side takes them.
bool ServerSession::hasRoomForNext() const
{
    switch (m_mode) {
    case Mode::Requests:
        return m_link->hasSendRoom();
    case Mode::TunnelWaiting:
        return true; // kept, within their own bounds
    case Mode::TunnelRelaying:
        return !m_relayPeer || m_relayPeer->m_link->hasSendRoom();
    }
    return true;
}

void ServerSession::dispatch(const KvrConfig &record)
{
    if (m_ended)
        return;
    switch (m_mode) {
    case Mode::Requests:
        if (!m_passwordWorking) {
            handleRequest(record);
        } else if (m_heldRequests.size() < MaxHeldRequests) {
            m_heldRequests << record;
        } else {
            closeLink();
        }
        break;
    case Mode::TunnelWaiting:
        m_waitingBytes += record.SerializeConfigBinary().size();
        m_waitingRecords << record;
        if (m_waitingRecords.size() > MaxWaitingRecords || m_waitingBytes > MaxWaitingBytes)
            closeLink();
        break;
    case Mode::TunnelRelaying:
        relayRecord(record);
        break;
    }
}

void ServerSession::relayRecord(const KvrConfig &record)
{
    if (!m_relayPeer || !m_relayPeer->m_link->pushCommand(record))
        closeLink();
}

void ServerSession::startRelay(ServerSession *other)
{
    m_relayPeer = other;
    m_mode = Mode::TunnelRelaying;
    connect(other->m_link.data(), &TcpConnection::signalSendRoom, this, &ServerSession::handleArrivals,
            Qt::QueuedConnection);
    // Records kept while waiting for the other leg go first, as room allows.
    scheduleArrivals();
}

void ServerSession::handleRequest(const KvrConfig &request)
{
    const QString command = text(request, P::KeyCommand);
    if (isClientRoutedName(command))
        return; // e.g. a late answer to a web request: nobody waits for it any more

    KvrConfig reply;
    reply.SetValue(QStringLiteral("ID"), request.GetValue(QStringLiteral("ID")));
    reply.SetValue(QLatin1String(P::KeyCommand), command);
    reply.SetResult(false);

    const Handler handler = handlers().value(command);
    logRequest(handler ? command : QString(), request);
    if (handler && !(this->*handler)(request, reply))
        return;
    m_link->pushCommand(reply);
}

void ServerSession::logRequest(const QString &command, const KvrConfig &request) const
{
    // Names only, never values; a name the peer made up is not repeated, so
    // nobody can write into the log.
    QString user = m_user.isEmpty() ? m_authenticatedUser : m_user;
    if (command == QLatin1String(P::Login) || command == QLatin1String(P::AuthenticateUser)) {
        const QString asked = text(request, P::KeyUserName).toLower();
        user = UserAdministration::isValidUserName(asked) ? asked : QStringLiteral("(invalid name)");
    }
    qCInfo(lcMain).noquote() << "request" << (command.isEmpty() ? QStringLiteral("(unknown)") : command)
                             << (user.isEmpty() ? QStringLiteral("-") : user);
}

void ServerSession::finishPasswordWork(const KvrConfig &reply)
{
    m_passwordWorking = false;
    if (!m_ended)
        m_link->pushCommand(reply);
    while (!m_passwordWorking && !m_heldRequests.isEmpty())
        dispatch(m_heldRequests.takeFirst());
}

const QHash<QString, ServerSession::Handler> &ServerSession::handlers()
{
    static const QHash<QString, Handler> table = {
        {QLatin1String(P::Ping), &ServerSession::handlePing},
        {QLatin1String(P::Login), &ServerSession::handleLogin},
        {QLatin1String(P::UpdateUserStatus), &ServerSession::handleUpdateUserStatus},
        {QLatin1String(P::SendHostInformation), &ServerSession::handleSendHostInformation},
        {QLatin1String(P::GetAccount), &ServerSession::handleGetAccount},
        {QLatin1String(P::SaveAccount), &ServerSession::handleSaveAccount},
        {QLatin1String(P::GetLastAccountSaveTime), &ServerSession::handleGetLastAccountSaveTime},
        {QLatin1String(P::SetPassword), &ServerSession::handleSetPassword},
        {QLatin1String(P::UpdateVCard), &ServerSession::handleUpdateVCard},
        {QLatin1String(P::ConnectToUser), &ServerSession::handleConnectToUser},
        {QLatin1String(P::DisconnectFromUser), &ServerSession::handleDisconnectFromUser},
        {QLatin1String(P::GetConnectedUsers), &ServerSession::handleGetConnectedUsers},
        {QLatin1String(P::GetUserHostInfo), &ServerSession::handleGetUserHostInfo},
        {QLatin1String(P::GetAuthenticationString), &ServerSession::handleGetAuthenticationString},
        {QLatin1String(P::AuthenticateUser), &ServerSession::handleAuthenticateUser},
        {QLatin1String(P::InitTunnelConnection), &ServerSession::handleInitTunnelConnection},
        {QLatin1String(P::AcceptTunnelConnection), &ServerSession::handleAcceptTunnelConnection},
        {QLatin1String(P::GetExchangeCommand), &ServerSession::handleGetExchangeCommand},
        {QLatin1String(P::DeleteExchangeCommand), &ServerSession::handleDeleteExchangeCommand},
        {QLatin1String(P::SendExchangeCommand), &ServerSession::handleSendExchangeCommand},
        {QLatin1String(P::ExchangeCommandTrigger), &ServerSession::handleExchangeCommandTrigger},
        {QLatin1String(P::GetUserStatus), &ServerSession::handleGetUserStatus},
        {QLatin1String(P::GetUserVCard), &ServerSession::handleGetUserVCard},
        {QLatin1String(P::FindUser), &ServerSession::handleFindUser},
        {QLatin1String(P::GetPlugins), &ServerSession::handleGetPlugins},
        {QLatin1String(P::CheckClientUpdate), &ServerSession::handleCheckClientUpdate},
        {QLatin1String(P::CheckPluginUpdate), &ServerSession::handleCheckPluginUpdate},
        {QLatin1String(P::GetTime), &ServerSession::handleGetTime},
        {QLatin1String(P::GetServerPublicKey), &ServerSession::handleGetServerPublicKey},
        {QLatin1String(P::GetUserPublicKey), &ServerSession::handleGetUserPublicKey},
    };
    return table;
}

// ---------------------------------------------------------------- presence

QString ServerSession::statusText(const QString &user) const
{
    if (!m_context.registry.isOnline(user))
        return QLatin1String(P::StatusOffline);
    return QString::number(qMax(0, m_context.store.status(user)));
}

void ServerSession::notifyWatchers(const QString &user, const QByteArray &status)
{
    KvrConfig record = push(P::PushUserStatusChanged);
    record.SetValue(QLatin1String(P::KeyUserName), user);
    record.SetValue(QLatin1String(P::KeyStatus), status);
    const QStringList watchers = m_context.registry.onlineAmong(m_context.store.watchersOf(user));
    for (const QString &watcher : watchers) {
        record.SetID();
        m_context.registry.push(watcher, record);
    }
}

void ServerSession::goOffline()
{
    if (m_user.isEmpty())
        return;
    const QString user = m_user;
    m_user.clear();
    if (m_context.registry.unbind(user, this))
        notifyWatchers(user, QByteArray(P::StatusOffline));
}

void ServerSession::replacedByNewLogin()
{
    // The registry already names the new session: no offline notice.
    m_user.clear();
    m_link->pushCommand(push(P::PushLogout));
}

// ---------------------------------------------------------------- main link

bool ServerSession::handlePing(const KvrConfig &, KvrConfig &reply)
{
    reply.SetValue(QLatin1String(P::KeyCommand), P::Pong);
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleLogin(const KvrConfig &request, KvrConfig &reply)
{
    const QString user = text(request, P::KeyUserName).toLower();
    const QByteArray password = request.GetValue(QLatin1String(P::KeyPassword));
    if (m_mode != Mode::Requests || user.isEmpty() || password.isEmpty())
        return true;

    const QString address = m_link->peerAddress();
    LoginThrottle &throttle = m_context.loginThrottle;
    LoginThrottle::Ticket ticket;
    const qint64 waitMs = throttle.admit(user, address, QDeadlineTimer::current().deadline(), &ticket);
    if (waitMs > 0) {
        qCWarning(lcMain).noquote() << "login throttled:"
                                    << (UserAdministration::isValidUserName(user) ? user : QStringLiteral("(invalid name)"))
                                    << "from" << address << "may try again in" << waitMs << "ms";
        reply.SetValue(QLatin1String(P::KeyReason),
                       QStringLiteral("too many failed logins: try again in %1 s").arg((waitMs + 999) / 1000));
        return true;
    }

    PasswordWorkPool::LoginCheck check{password, m_context.store.passwordHash(user), QString(),
                                       m_context.store.unmergedContactsOf(user)};
    if (!check.pendingContacts.isEmpty())
        check.accountText = m_context.store.accountText(user);
    const QByteArray id = request.GetValue(QStringLiteral("ID"));
    // The pool outlives every session: a guess is charged even when its link
    // hung up before the answer.
    const QPointer<ServerSession> session(this);
    const bool started = m_context.passwordWork.checkLogin(
        check, &m_context.passwordWork,
        [session, &throttle, ticket, id, user, check](const PasswordWorkPool::LoginOutcome &outcome) {
            if (outcome.verified)
                throttle.succeeded(ticket);
            else
                throttle.failed(ticket, QDeadlineTimer::current().deadline());
            if (session)
                session->finishLogin(id, user, check.accountText, check.pendingContacts, outcome.verified,
                                     outcome.mergedAccountText);
        });
    if (!started) {
        throttle.withdrawn(ticket);
        return refuseAsBusy(reply);
    }
    m_passwordWorking = true;
    return false; // finishLogin() replies
}

bool ServerSession::refuseAsBusy(KvrConfig &reply)
{
    reply.SetValue(QLatin1String(P::KeyReason), QStringLiteral("the server is busy: try again later"));
    return true;
}

void ServerSession::finishLogin(const QByteArray &id, const QString &user, const QString &accountTextBefore,
                                const QStringList &pendingContacts, bool verified,
                                const QString &mergedAccountText)
{
    KvrConfig reply = replyTo(id, P::Login);
    if (verified && !m_ended) {
        // Left pending when the text did not open, or changed while it was
        // resealed: a later login merges them.
        if (!mergedAccountText.isEmpty() && m_context.store.accountText(user) == accountTextBefore
            && m_context.store.setAccountText(user, mergedAccountText, QDateTime::currentDateTimeUtc()))
            m_context.store.markContactsMerged(user, pendingContacts);
        bindLogin(user);
        reply.SetResult(true);
    }
    finishPasswordWork(reply);
}

void ServerSession::bindLogin(const QString &user)
{
    if (m_user != user)
        goOffline();
    const bool wasOnline = m_context.registry.isOnline(user);
    if (ServerSession *previous = m_context.registry.bind(user, this, m_link))
        previous->replacedByNewLogin();
    m_user = user;
    m_link->admit();
    if (!wasOnline)
        notifyWatchers(user, statusText(user).toLatin1());
}

bool ServerSession::handleUpdateUserStatus(const KvrConfig &request, KvrConfig &reply)
{
    int status = 0;
    if (m_user.isEmpty() || !parseInt(text(request, P::KeyStatus), 0, 0xffff, &status)
        || !m_context.store.setStatus(m_user, status))
        return true;
    notifyWatchers(m_user, QByteArray::number(status));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleSendHostInformation(const KvrConfig &request, KvrConfig &reply)
{
    const QString addresses = text(request, P::KeyAddresses);
    int port = 0;
    if (m_user.isEmpty() || addresses.size() > MaxHostAddressesLength
        || !parseInt(text(request, P::KeyPort), 0, 65535, &port)
        || !m_context.store.setHostInformation(m_user, addresses, port))
        return true;
    reply.SetValue(QLatin1String(P::KeyExternalIp), m_link->peerAddress());
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleGetAccount(const KvrConfig &, KvrConfig &reply)
{
    if (m_user.isEmpty())
        return true;
    reply.SetValue(QLatin1String(P::KeyAccount), m_context.store.accountTextUtf8(m_user));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleSaveAccount(const KvrConfig &request, KvrConfig &reply)
{
    if (m_user.isEmpty() || !hasKey(request, P::KeyAccount))
        return true;
    if (request.GetValue(QLatin1String(P::KeyAccount)).size() > P::MaxAccountTextBytes)
        return refuseAsTooLarge(reply, "account text", P::MaxAccountTextBytes);
    reply.SetResult(m_context.store.setAccountText(m_user, text(request, P::KeyAccount),
                                                   QDateTime::currentDateTimeUtc()));
    return true;
}

bool ServerSession::handleGetLastAccountSaveTime(const KvrConfig &, KvrConfig &reply)
{
    if (m_user.isEmpty())
        return true;
    const QDateTime saved = m_context.store.accountSaveTime(m_user);
    if (!saved.isValid())
        return true;
    reply.SetValue(QLatin1String(P::KeyTime), saved.toString(Qt::ISODateWithMs));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleSetPassword(const KvrConfig &request, KvrConfig &reply)
{
    const QByteArray password = request.GetValue(QLatin1String(P::KeyPassword));
    if (m_user.isEmpty() || password.isEmpty())
        return true;
    const QByteArray id = request.GetValue(QStringLiteral("ID"));
    const QString user = m_user;
    const bool started = m_context.passwordWork.hashPassword(password, this, [this, id, user](const QString &hash) {
        KvrConfig done = replyTo(id, P::SetPassword);
        done.SetResult(!hash.isEmpty() && m_context.store.setPasswordHash(user, hash));
        finishPasswordWork(done);
    });
    if (!started)
        return refuseAsBusy(reply);
    m_passwordWorking = true;
    return false;
}

bool ServerSession::handleUpdateVCard(const KvrConfig &request, KvrConfig &reply)
{
    if (m_user.isEmpty())
        return true;
    if (request.GetValue(QLatin1String(P::KeyVCard)).size() > P::MaxVCardBytes)
        return refuseAsTooLarge(reply, "vCard", P::MaxVCardBytes);
    const QString vcardText = text(request, P::KeyVCard);
    WDataStructure vcard;
    if (!vcard.DeserializeStructure(vcardText))
        return true;
    if (vcard.GetValue(QLatin1String(P::KeyAvatar)).size() > P::MaxAvatarBytes)
        return refuseAsTooLarge(reply, "avatar", P::MaxAvatarBytes);
    const ServerStore::UserSummary summary{m_user, vcard.gv(QLatin1String(P::KeyFullName)),
                                           vcard.gv(QLatin1String(P::KeyCity)),
                                           vcard.gv(QLatin1String(P::KeyCountry))};
    reply.SetResult(m_context.store.setVCard(m_user, vcardText, summary));
    return true;
}

bool ServerSession::handleConnectToUser(const KvrConfig &request, KvrConfig &reply)
{
    const QString contact = text(request, P::KeyContact).toLower();
    if (m_user.isEmpty() || text(request, P::KeyUserName).toLower() != m_user || contact == m_user
        || !m_context.store.userExists(contact))
        return true;
    reply.SetResult(m_context.store.addContact(m_user, contact, true));
    return true;
}

bool ServerSession::handleDisconnectFromUser(const KvrConfig &request, KvrConfig &reply)
{
    if (m_user.isEmpty() || text(request, P::KeyUserName).toLower() != m_user)
        return true;
    reply.SetResult(m_context.store.removeContact(m_user, text(request, P::KeyContact)));
    return true;
}

bool ServerSession::handleGetConnectedUsers(const KvrConfig &, KvrConfig &reply)
{
    if (m_user.isEmpty())
        return true;
    // Everyone related either way: both directions may show this user's vCard.
    QStringList related = m_context.store.contactsOf(m_user) + m_context.store.watchersOf(m_user);
    related.removeDuplicates();
    related.sort();
    QString users;
    for (const QString &user : m_context.registry.onlineAmong(related))
        users += user + QLatin1Char(P::UserListSeparator);
    reply.SetValue(QLatin1String(P::KeyUsers), users);
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleGetUserHostInfo(const KvrConfig &request, KvrConfig &reply)
{
    const QString user = text(request, P::KeyUserName);
    QString addresses;
    int port = 0;
    if ((m_user.isEmpty() && m_authenticatedUser.isEmpty()) || !m_context.registry.isOnline(user)
        || !m_context.store.hostInformation(user, &addresses, &port))
        return true;
    reply.SetValue(QLatin1String(P::KeyAddresses), addresses);
    reply.SetValue(QLatin1String(P::KeyTcpPort), QString::number(port));
    reply.SetResult(true);
    return true;
}

// ---------------------------------------------------------------- handshake and tunnels

bool ServerSession::handleGetAuthenticationString(const KvrConfig &, KvrConfig &reply)
{
    m_challenge = WCryptography::GenerateRandom(ChallengeBytes);
    if (m_challenge.isEmpty())
        return true;
    reply.SetValue(QLatin1String(P::KeyAuthString), m_challenge);
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleAuthenticateUser(const KvrConfig &request, KvrConfig &reply)
{
    // A challenge answers one attempt only, right or wrong.
    const QByteArray challenge = m_challenge;
    m_challenge.clear();
    const QString user = text(request, P::KeyUserName).toLower();
    if (challenge.isEmpty() || user.isEmpty() || !hasKey(request, P::KeyAuthString))
        return true;
    const QString publicKey = m_context.store.publicKey(user);
    if (publicKey.isEmpty()
        || !WCryptography::VerifyMessageRSASHA(publicKey, request.GetValue(QLatin1String(P::KeyAuthString)),
                                               WServerCommands::AuthenticationMessage(challenge, QString())))
        return true;
    // A proven name is no login: the link stays held to the pending limits,
    // and one name holds a few such links at most.
    if (!m_link->holdAsProven(user)) {
        reply.SetValue(QLatin1String(P::KeyReason), QStringLiteral("too many links prove this name at once"));
        return true;
    }
    m_authenticatedUser = user;
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleInitTunnelConnection(const KvrConfig &request, KvrConfig &reply)
{
    const QString own = text(request, P::KeyUserName).toLower();
    const QString peer = text(request, P::KeyPeer).toLower();
    // A main link stays a main link: its pushes must keep reaching its client.
    if (m_mode != Mode::Requests || !m_user.isEmpty() || m_authenticatedUser.isEmpty()
        || own != m_authenticatedUser || peer.isEmpty() || peer == own
        || !m_context.registry.isOnline(peer))
        return true;
    // A peer who has not made the initiator a contact gets few of its tunnels.
    const bool peerKnowsInitiator = m_context.store.contactsOf(peer).contains(own);
    QString refusal;
    const QString tunnelId = m_context.tunnels.open(this, own, peer, peerKnowsInitiator, &refusal);
    if (tunnelId.isEmpty()) {
        if (!refusal.isEmpty())
            reply.SetValue(QLatin1String(P::KeyReason), refusal);
        return true;
    }
    KvrConfig notice = push(P::PushInitTunnelConnection);
    notice.SetValue(QLatin1String(P::KeySender), own);
    notice.SetValue(QLatin1String(P::KeyTunnelId), tunnelId);
    // The peer marks the link as the initiator chose, so its replies keep that road.
    notice.SetValue(QLatin1String(P::KeyServerMode), text(request, P::KeyServerMode) == QLatin1String("1"));
    if (!m_context.registry.push(peer, notice)) {
        m_context.tunnels.release(this); // nobody was told: forget it again
        return true;
    }
    // A tunnel leg carries whatever its client sends to the peer, bounded by
    // the join time-out and the waiting cap until the peer joins.
    m_link->admit();
    // Answer at once; what this leg sends from now on waits for the peer.
    reply.SetResult(true);
    m_link->pushCommand(reply);
    m_mode = Mode::TunnelWaiting;
    return false;
}

bool ServerSession::handleAcceptTunnelConnection(const KvrConfig &request, KvrConfig &reply)
{
    if (m_mode != Mode::Requests || !m_user.isEmpty())
        return true;
    ServerSession *initiator = m_context.tunnels.join(text(request, P::KeyTunnelId), this);
    if (!initiator || initiator->m_ended)
        return true;
    // Knowing the single-use tunnel id is this leg's proof.
    m_link->admit();
    reply.SetResult(true);
    m_link->pushCommand(reply);
    startRelay(initiator);
    initiator->startRelay(this);
    return false;
}

// ---------------------------------------------------------------- relay

bool ServerSession::handleGetExchangeCommand(const KvrConfig &request, KvrConfig &reply)
{
    if (m_user.isEmpty())
        return true;
    QString sender;
    QByteArray record;
    if (text(request, P::KeyKeep) == QLatin1String("1")) {
        qint64 exchangeId = 0;
        const qint64 after = qMax<qint64>(0, text(request, P::KeyAfter).toLongLong());
        record = m_context.store.peekRelay(m_user, after, &exchangeId, &sender);
        reply.sv(QLatin1String(P::KeyExchangeId), QString::number(exchangeId));
    } else {
        record = m_context.store.takeRelay(m_user, &sender);
    }
    if (record.isEmpty())
        return true;
    reply.SetValue(QLatin1String(P::KeyRecord), record);
    reply.sv(QLatin1String(P::KeySender), sender);
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleDeleteExchangeCommand(const KvrConfig &request, KvrConfig &reply)
{
    bool ok = false;
    const qint64 exchangeId = text(request, P::KeyExchangeId).toLongLong(&ok);
    if (m_user.isEmpty() || !ok)
        return true;
    reply.SetResult(m_context.store.deleteRelay(m_user, exchangeId));
    return true;
}

bool ServerSession::handleSendExchangeCommand(const KvrConfig &request, KvrConfig &reply)
{
    const QString receiver = text(request, P::KeyReceiver).toLower();
    KvrConfig record;
    if (m_user.isEmpty() || !m_context.store.userExists(receiver)
        || !record.DeserializeConfigBinary(request.GetValue(QLatin1String(P::KeyRecord)))
        || record.isEmpty() || !isRelayableName(text(record, P::KeyCommand)))
        return true;

    // Routing keys are the receiving host's to set.
    record.RemoveKeysWithPrefix(QLatin1String(P::RoutingKeyPrefix));
    const QByteArray stored = record.SerializeConfigBinary();
    const QString refusal = relayRefusal(receiver, stored.size());
    if (!refusal.isEmpty()) {
        qCWarning(lcMain).noquote() << "relay from" << m_user << "to" << receiver << "refused:" << refusal;
        reply.SetValue(QLatin1String(P::KeyReason), refusal);
        return true;
    }
    if (!m_context.store.appendRelay(receiver, m_user, stored))
        return true;
    m_context.registry.push(receiver, push(P::PushExchangeMessageAvailable));
    reply.SetResult(true);
    return true;
}

QString ServerSession::relayRefusal(const QString &receiver, qint64 recordBytes)
{
    if (m_context.store.relayCount(receiver) >= MaxRelayQueue
        || m_context.store.relayBytesTo(receiver) + recordBytes > MaxRelayBytesPerReceiver)
        return QStringLiteral("the receiver's queue is full");
    if (m_context.store.relayBytesFrom(m_user) + recordBytes > MaxRelayBytesPerSender)
        return QStringLiteral("too much of yours waits for receivers already");
    return QString();
}

bool ServerSession::handleExchangeCommandTrigger(const KvrConfig &, KvrConfig &)
{
    // No reply: the client does not wait for one, and it would stay in its inbox.
    if (!m_user.isEmpty() && m_context.store.relayCount(m_user) > 0)
        m_link->pushCommand(push(P::PushExchangeMessageAvailable));
    return false;
}

// ---------------------------------------------------------------- queries

bool ServerSession::handleGetUserStatus(const KvrConfig &request, KvrConfig &reply)
{
    const QStringList names =
        text(request, P::KeyUsers).split(QLatin1Char(P::UserListSeparator), Qt::SkipEmptyParts);
    if (names.size() > MaxUsersPerQuery)
        return true;
    for (const QString &name : names) {
        const QString user = name.trimmed().toLower();
        if (m_context.store.userExists(user))
            reply.SetValue(QLatin1String(P::UserStatusKeyPrefix) + user, statusText(user));
    }
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleGetUserVCard(const KvrConfig &request, KvrConfig &reply)
{
    const QString user = text(request, P::KeyUserName);
    if (!m_context.store.userExists(user))
        return true;
    reply.SetValue(QLatin1String(P::KeyVCard), m_context.store.vcardUtf8(user));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleFindUser(const KvrConfig &request, KvrConfig &reply)
{
    const QList<ServerStore::UserSummary> found =
        m_context.store.findUsers(text(request, P::KeyText).trimmed(), P::MaxFindResults);
    for (int i = 0; i < found.size(); ++i) {
        KvrConfig match;
        match.SetValue(QLatin1String(P::KeyUserName), found.at(i).name);
        match.SetValue(QLatin1String(P::KeyFullName), found.at(i).fullName);
        match.SetValue(QLatin1String(P::KeyCity), found.at(i).city);
        match.SetValue(QLatin1String(P::KeyCountry), found.at(i).country);
        reply.SetValue(QLatin1String(P::MatchKeyPrefix) + QString::number(i), match.SerializeConfigBinary());
    }
    reply.SetValue(QLatin1String(P::KeyCount), QString::number(found.size()));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleGetPlugins(const KvrConfig &request, KvrConfig &reply)
{
    reply.SetValue(QLatin1String(P::KeyPlugins), m_context.catalogue.pluginsTree(text(request, P::KeyPlatform)));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleCheckClientUpdate(const KvrConfig &request, KvrConfig &reply)
{
    int build = 0;
    if (!parseInt(text(request, P::KeyBuild), 0, INT_MAX, &build))
        return true;
    reply.SetValue(QLatin1String(P::KeyUrl), m_context.catalogue.clientUpdate(text(request, P::KeyPlatform), build));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleCheckPluginUpdate(const KvrConfig &request, KvrConfig &reply)
{
    int version = 0;
    if (!parseInt(text(request, P::KeyVersion), 0, INT_MAX, &version))
        return true;
    reply.SetValue(QLatin1String(P::KeyUrl),
                   m_context.catalogue.pluginUpdate(text(request, P::KeyName), text(request, P::KeyPlatform),
                                                    version));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleGetTime(const KvrConfig &, KvrConfig &reply)
{
    reply.SetValue(QLatin1String(P::KeyTime), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleGetServerPublicKey(const KvrConfig &, KvrConfig &reply)
{
    reply.SetValue(QLatin1String(P::KeyPublicKey), m_context.keys.publicKey);
    reply.SetResult(true);
    return true;
}

bool ServerSession::handleGetUserPublicKey(const KvrConfig &request, KvrConfig &reply)
{
    const QString key = m_context.store.publicKey(text(request, P::KeyUserName));
    if (key.isEmpty())
        return true;
    reply.SetValue(QLatin1String(P::KeyPublicKey), key);
    reply.SetResult(true);
    return true;
}
