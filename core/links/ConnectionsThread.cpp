#include "ConnectionsThread.h"

#include "ClientLogging.h"
#include "IOCommandsTower.h"
#include "IWConnection.h"
#include "SessionState.h"

#include <PendingLinkBudget.h>
#include <UdpTower.h>
#include <WNamedMutex.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QtDebug>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <thread>

namespace {

// Enough for every send that waits for a link of its own at the same time.
constexpr int MaxWorkers = 512;
constexpr int ReaperPassMs = 1000;
// How often a wait for keep-alive answers looks whether it should end early.
constexpr int AnswerWaitSliceMs = 200;

bool qualifies(const QSharedPointer<IWConnection> &link, const QString &user, bool serverConnection)
{
    const int wanted = serverConnection ? IWConnection::ServerModeLink : IWConnection::PeerLink;
    return link && link->getUser() == user && link->getConnectionType() == wanted && link->isConnected()
        && link->isAuthenticated();
}

// A stranger that proved its name may send a file part or a message while
// the user is asked about it, for a while; only a contact's link is free.
PendingLinkBudget::Limits acceptedLinkLimits()
{
    PendingLinkBudget::Limits limits = PendingLinkBudget::defaultLimits();
    limits.provenFrameLimit = 2 * 1024 * 1024;
    if (limits.provenTimeLimitMs <= 0)
        limits.provenTimeLimitMs = 120 * 1000;
    return limits;
}

} // namespace

ConnectionsThread::ConnectionsThread(IOCommandsTower *commands, SessionState *session, QObject *parent)
    : QThread(parent)
    , m_io(std::make_shared<boost::asio::io_context>())
    , m_commands(commands)
    , m_session(session)
    , m_pendingBudget(std::make_shared<PendingLinkBudget>(acceptedLinkLimits()))
{
    m_workers.setMaxThreadCount(MaxWorkers);
    // Directly, on the sender's thread: a record for a user with a link goes
    // straight to that link's writer, without waking another thread first.
    connect(m_commands, &IOCommandsTower::signalOutputCommandReceived, this, &ConnectionsThread::slotSendCommand,
            Qt::DirectConnection);
}

ConnectionsThread::~ConnectionsThread()
{
    // Records put from now on stay in the output list.
    m_commands->disconnect(this);
    quit();
    wait();
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_wakeReaper.wakeAll();
    }
    closeAllConnections();
    m_workers.waitForDone();
    QMutexLocker lock(&m_mutex);
    m_links.clear();
    m_udpTower.reset();
}

void ConnectionsThread::setBufferedPartReceiver(const UserConnection::BufferedPartReceiver &receiver)
{
    QMutexLocker lock(&m_mutex);
    m_bufferedPartReceiver = receiver;
}

void ConnectionsThread::setAuthenticationDeadline(int seconds)
{
    m_authenticationDeadlineSeconds = seconds;
}

void ConnectionsThread::setPeerAnswerTimeoutMs(int ms)
{
    m_peerAnswerTimeoutMs = qMax(1, ms);
}

QSharedPointer<UdpTower> ConnectionsThread::udpTower() const
{
    QMutexLocker lock(&m_mutex);
    return m_udpTower;
}

void ConnectionsThread::run()
{
    auto work = boost::asio::make_work_guard(*m_io);
    std::thread ioThread([io = m_io] { io->run(); });
    {
        // The tower keeps the I/O service alive: UDP links hold the tower and
        // may outlive this object for as long as their last owner keeps them.
        const std::shared_ptr<boost::asio::io_context> io = m_io;
        QSharedPointer<UdpTower> tower(new UdpTower(*io), [io](UdpTower *endpoint) { delete endpoint; });
        if (!tower->isValid())
            qWarning() << "no UDP port for user links";
        QMutexLocker lock(&m_mutex);
        m_udpTower = tower;
    }

    exec();

    closeAllConnections();
    {
        QMutexLocker lock(&m_mutex);
        m_udpTower.reset();
    }
    // UDP links still being released need the service; it runs out of work,
    // and its thread ends, once the last of them and the tower are gone.
    work.reset();
    ioThread.detach();
}

// ---------------------------------------------------------------- the link list

ConnectionsThread::Entry ConnectionsThread::newUserConnection(const QString &mode, const QString &user)
{
    UserConnection::Context context;
    context.session = m_session;
    context.commands = m_commands;
    context.pendingBudget = m_pendingBudget;
    {
        QMutexLocker lock(&m_mutex);
        context.udpTower = m_udpTower;
        context.bufferedPartReceiver = m_bufferedPartReceiver;
    }
    Entry entry(new UserConnection(context, mode), &UserConnection::deleteOnOwnThread);
    entry->setUser(user);
    // Its filter runs where this object lives.
    entry->moveToThread(thread());
    return entry;
}

QList<ConnectionsThread::Entry> ConnectionsThread::entries() const
{
    QMutexLocker lock(&m_mutex);
    return m_links;
}

void ConnectionsThread::addEntry(const Entry &entry)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_stopping) {
            lock.unlock();
            if (const QSharedPointer<IWConnection> link = entry->link())
                link->disconnectFromHost();
            return;
        }
        m_links.append(entry);
    }
    startReaper();
}

QSharedPointer<IWConnection> ConnectionsThread::findLink(const QString &user, bool serverConnection,
                                                          const QString &connectionID) const
{
    // A reply leaves on the link its request came on, authenticated or not,
    // as long as that link is still up.
    const QSharedPointer<IWConnection> named = connection(connectionID);
    if (named && named->isConnected())
        return named;
    const QString name = SessionState::canonicalUserName(user);
    for (const Entry &entry : entries()) {
        const QSharedPointer<IWConnection> link = entry->link();
        if (qualifies(link, name, serverConnection))
            return link;
    }
    return {};
}

QSharedPointer<IWConnection> ConnectionsThread::connection(const QString &connectionID) const
{
    if (connectionID.isEmpty())
        return {};
    for (const Entry &entry : entries()) {
        const QSharedPointer<IWConnection> link = entry->link();
        if (link && link->getConnectionID() == connectionID)
            return link;
    }
    return {};
}

bool ConnectionsThread::hasUserConnection(const QString &user, bool serverConnection) const
{
    return !findLink(user, serverConnection).isNull();
}

bool ConnectionsThread::isConnectionActive(const QString &connectionID) const
{
    const QSharedPointer<IWConnection> link = connection(connectionID);
    return link && link->isConnected() && link->isAuthenticated();
}

void ConnectionsThread::closeConnection(const QString &connectionID)
{
    if (const QSharedPointer<IWConnection> link = connection(connectionID))
        link->disconnectFromHost();
}

void ConnectionsThread::closeAllConnections()
{
    for (const Entry &entry : entries()) {
        if (const QSharedPointer<IWConnection> link = entry->link())
            link->disconnectFromHost();
    }
}

// ---------------------------------------------------------------- sending

void ConnectionsThread::slotSendCommand(const QString &id, const QString &user, bool isServerCommand,
                                        const QString &connectionID)
{
    // The usual case: a link is there, the record leaves at once.
    if (const QSharedPointer<IWConnection> link = findLink(user, isServerCommand, connectionID)) {
        const KvrConfig record = m_commands->takeOutputCommand(id);
        if (!record.isEmpty()) {
            waitForRoomIfWorker(*link);
            link->pushCommand(record);
        }
        return;
    }
    // Making a link blocks; never here, where every link's traffic is handled.
    runOnWorker([this, id, user, isServerCommand, connectionID] {
        sendCommandThread(id, user, isServerCommand, connectionID);
    });
}

void ConnectionsThread::sendCommandThread(const QString &id, const QString &user, bool isServerCommand,
                                          const QString &connectionID)
{
    if (!findLink(user, isServerCommand, connectionID))
        getOrCreateConnection(user, isServerCommand, false);
    const KvrConfig record = m_commands->takeOutputCommand(id);
    if (record.isEmpty())
        return;
    if (const QSharedPointer<IWConnection> link = findLink(user, isServerCommand, connectionID)) {
        waitForRoomIfWorker(*link);
        link->pushCommand(record);
    } else
        qCDebug(lcLinks).noquote() << "no link to" << user << "for" << record.gv(QStringLiteral("command"));
}

// A worker (a plug-in's transfer or handler, a send that waited for its
// link) waits while the peer has not taken what is queued for it: the
// back-pressure that keeps a fast sender's records out of memory. The wait is
// short, so that a peer that never reads holds a shared handler only
// briefly: its link ends at the cap plus one record, or at its drain time
// limit. The window's thread and the links' own thread never wait.
void ConnectionsThread::waitForRoomIfWorker(IWConnection &link) const
{
    QThread *const current = QThread::currentThread();
    if (current != QCoreApplication::instance()->thread() && current != thread())
        link.waitForSendRoom(SendRoomWaitMs);
}

QString ConnectionsThread::getOrCreateConnection(const QString &user, bool serverConnection, bool forceNew)
{
    const QString name = SessionState::canonicalUserName(user);
    if (name.isEmpty())
        return {};
    // One creation per peer at a time; a send that waited here finds the
    // link the one before it made.
    WNamedMutexLocker creation(QStringLiteral("wivora-link:%1>%2").arg(m_session->userName(), name));
    if (!forceNew) {
        if (const QSharedPointer<IWConnection> link = findLink(name, serverConnection))
            return link->getConnectionID();
    }
    {
        QMutexLocker lock(&m_mutex);
        if (m_stopping)
            return {};
    }
    const Entry entry =
        newUserConnection(serverConnection ? UserConnection::ModeServer : UserConnection::ModeDirect, name);
    if (!entry->establish())
        return {};
    const QSharedPointer<IWConnection> link = entry->link();
    if (!link || !link->isConnected())
        return {};
    addEntry(entry);
    return link->getConnectionID();
}

// ---------------------------------------------------------------- accepting

void ConnectionsThread::slotTcpConnectionArrived(int socketDescriptor)
{
    const Entry entry = newUserConnection(UserConnection::ModeAcceptTcp, QString());
    entry->setSocketDescriptor(socketDescriptor);
    acceptOnWorker(entry);
}

bool ConnectionsThread::requestTunnelAcceptance(const QString &tunnelid, const QString &sender, bool serverMode)
{
    const Entry entry =
        newUserConnection(serverMode ? UserConnection::ModeAcceptServer : UserConnection::ModeAcceptTunnel, sender);
    entry->setExtraIdentifier(tunnelid);
    return acceptAnnounced(entry);
}

bool ConnectionsThread::requestUdpAcceptance(const QString &sender, const QString &cnnid)
{
    const Entry entry = newUserConnection(UserConnection::ModeAcceptUdp, sender);
    entry->setExtraIdentifier(cnnid);
    return acceptAnnounced(entry);
}

bool ConnectionsThread::acceptAnnounced(const Entry &entry)
{
    // Judged before anything is opened: a refused link costs no socket and
    // no worker.
    if (!listAnnounced(entry))
        return false;
    runOnWorker([this, entry] { establishAccepted(entry); });
    return true;
}

bool ConnectionsThread::isOpenAnnounced(const Entry &entry)
{
    const QString mode = entry->mode();
    if (mode != UserConnection::ModeAcceptTunnel && mode != UserConnection::ModeAcceptServer
        && mode != UserConnection::ModeAcceptUdp)
        return false;
    if (entry->isBusy())
        return true;
    const QSharedPointer<IWConnection> link = entry->link();
    return link && !link->isClosed();
}

bool ConnectionsThread::listAnnounced(const Entry &entry)
{
    const QString sender = entry->getUser();
    const bool fromContact = m_session->isContact(sender);
    QSharedPointer<IWConnection> dropped;
    {
        // Counted and listed under one lock, so announcements that arrive
        // together cannot all pass the same count.
        QMutexLocker lock(&m_mutex);
        if (m_stopping)
            return false;
        QHash<QString, int> held;
        for (const Entry &listed : qAsConst(m_links)) {
            if (isOpenAnnounced(listed))
                ++held[listed->getUser()];
        }
        const PeerLinkQuota::Decision decision = m_announcedQuota.admit(held, sender, fromContact);
        bool admitted = decision.admitted;
        if (admitted && !decision.dropOneOf.isEmpty()) {
            // Its oldest link that is up; one still being joined cannot be closed yet.
            for (const Entry &listed : qAsConst(m_links)) {
                const QSharedPointer<IWConnection> link = listed->link();
                if (isOpenAnnounced(listed) && listed->getUser() == decision.dropOneOf && link) {
                    dropped = link;
                    break;
                }
            }
            admitted = !dropped.isNull();
        }
        if (!admitted) {
            lock.unlock();
            const char *kind = entry->mode() == UserConnection::ModeAcceptUdp ? "udp link" : "tunnel";
            qCWarning(lcLinks).noquote() << kind << "from" << sender << "refused: it holds" << held.value(sender)
                                         << "links through the server already";
            return false;
        }
        m_links.append(entry);
    }
    if (dropped) {
        qCWarning(lcLinks).noquote() << "link of" << dropped->getUser() << "closed to make room for" << sender;
        dropped->disconnectFromHost();
    }
    startReaper();
    return true;
}

void ConnectionsThread::acceptOnWorker(const Entry &entry)
{
    // Listed before its set-up ends: the peer may send as soon as it has
    // proved its name, and the reply must find the link its request came on.
    // A failed accept leaves an entry without a link (its descriptor closed),
    // which the reaper removes.
    runOnWorker([this, entry] {
        addEntry(entry);
        establishAccepted(entry);
    });
}

void ConnectionsThread::establishAccepted(const Entry &entry)
{
    if (entry->establish() && isStopping())
        entry->link()->disconnectFromHost();
}

bool ConnectionsThread::isStopping() const
{
    QMutexLocker lock(&m_mutex);
    return m_stopping;
}

void ConnectionsThread::runOnWorker(std::function<void()> task)
{
    m_workers.start(std::move(task));
}

// ---------------------------------------------------------------- keep-alives

void ConnectionsThread::checkPeerLinks(const KvrConfig &keepAlive, const std::function<bool()> &stopRequested)
{
    // Every link is asked first and the answers are awaited together, so one
    // silent peer costs the walk one time-out, not one per link.
    QList<QPair<QSharedPointer<IWConnection>, QString>> asked;
    for (const Entry &entry : entries()) {
        const QSharedPointer<IWConnection> link = entry->link();
        if (entry->isBusy() || !link || !link->isConnected() || !link->isAuthenticated())
            continue;
        KvrConfig ping = keepAlive;
        const QString id = ping.SetID();
        if (link->pushCommand(ping))
            asked.append(qMakePair(link, id));
    }
    const QDeadlineTimer deadline(m_peerAnswerTimeoutMs.load());
    for (const auto &question : qAsConst(asked)) {
        const QSharedPointer<IWConnection> &link = question.first;
        bool answered = false;
        while (!answered && link->isConnected()) {
            if (stopRequested && stopRequested())
                return;
            const int slice = int(qBound<qint64>(0, deadline.remainingTime(), AnswerWaitSliceMs));
            answered = !link->getCommand(question.second, slice).isEmpty();
            if (!answered && deadline.hasExpired())
                break;
        }
        if (!answered && link->isConnected()) {
            qCDebug(lcLinks).noquote() << "no answer to a keep-alive from" << link->getUser() << "- link closed";
            link->disconnectFromHost(); // the reaper removes it
        }
    }
}

// ---------------------------------------------------------------- reaper

void ConnectionsThread::startReaper()
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_reaperRunning || m_stopping || m_links.isEmpty())
            return;
        m_reaperRunning = true;
    }
    runOnWorker([this] { reapConnections(); });
}

void ConnectionsThread::reapConnections()
{
    QMutexLocker lock(&m_mutex);
    while (!m_stopping && !m_links.isEmpty()) {
        lock.unlock();
        reapOnce();
        lock.relock();
        if (!m_stopping)
            m_wakeReaper.wait(&m_mutex, ReaperPassMs);
    }
    m_reaperRunning = false;
}

void ConnectionsThread::reapOnce()
{
    const int deadline = m_authenticationDeadlineSeconds;
    QList<Entry> ended;
    for (const Entry &entry : entries()) {
        if (entry->isBusy())
            continue;
        const QSharedPointer<IWConnection> link = entry->link();
        // Closed, not just unconnected: an accepted link connects only once
        // its peer's key exchange is through.
        if (!link || link->isClosed())
            ended.append(entry);
        else if (link->getIdleSeconds() > MaxIdleSeconds)
            link->disconnectFromHost(); // removed on the next pass
        else if (!link->isAuthenticated() && entry->secondsSinceEstablished() >= deadline)
            link->disconnectFromHost();
    }
    if (ended.isEmpty())
        return;
    qCDebug(lcLinks).nospace() << "num of threads: " << entries().size();
    QMutexLocker lock(&m_mutex);
    for (const Entry &entry : ended)
        m_links.removeOne(entry);
}
