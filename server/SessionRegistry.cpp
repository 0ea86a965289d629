#include "SessionRegistry.h"

#include "ServerProtocol.h"

#include <QMutexLocker>

ServerSession *SessionRegistry::bind(const QString &user, ServerSession *session,
                                     const QSharedPointer<TcpConnection> &link)
{
    QMutexLocker locker(&m_mutex);
    Entry &entry = m_online[user.toLower()];
    ServerSession *previous = entry.session == session ? nullptr : entry.session;
    entry.session = session;
    entry.link = link;
    return previous;
}

bool SessionRegistry::unbind(const QString &user, ServerSession *session)
{
    QMutexLocker locker(&m_mutex);
    const auto it = m_online.find(user.toLower());
    if (it == m_online.end() || it->session != session)
        return false;
    m_online.erase(it);
    return true;
}

QSharedPointer<TcpConnection> SessionRegistry::linkOf(const QString &user) const
{
    QMutexLocker locker(&m_mutex);
    return m_online.value(user.toLower()).link;
}

bool SessionRegistry::isOnline(const QString &user) const
{
    QMutexLocker locker(&m_mutex);
    return m_online.contains(user.toLower());
}

QStringList SessionRegistry::onlineAmong(const QStringList &users) const
{
    QMutexLocker locker(&m_mutex);
    QStringList result;
    for (const QString &user : users) {
        if (m_online.contains(user.toLower()))
            result << user.toLower();
    }
    return result;
}

QString SessionRegistry::peerAddressOf(const QString &user) const
{
    const QSharedPointer<TcpConnection> link = linkOf(user);
    return link ? link->peerAddress() : QString();
}

bool SessionRegistry::push(const QString &user, const KvrConfig &record) const
{
    // The push itself runs outside the lock: the link may be slow or closing.
    const QSharedPointer<TcpConnection> link = linkOf(user);
    return link && link->pushCommand(record);
}

KvrConfig SessionRegistry::askUser(const QString &user, const KvrConfig &request, int timeoutMs)
{
    // Only requests of the web server's own kind may reach a client this way.
    if (!request.gv(QLatin1String(ServerProtocol::KeyCommand)).startsWith(QLatin1String(ServerProtocol::WebLocalPrefix)))
        return KvrConfig();
    const QSharedPointer<TcpConnection> link = linkOf(user);
    if (!link)
        return KvrConfig();
    KvrConfig outgoing = request;
    if (outgoing.GetID().isEmpty())
        outgoing.SetID();
    // sendCommand hands the reply to this waiter, so the session never sees it.
    return link->sendCommand(outgoing, timeoutMs);
}
