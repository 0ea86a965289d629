#include "ServerLinkRegistry.h"

#include "TcpConnection.h"

#include <QVector>
#include <QWeakPointer>

#include <mutex>

namespace {

struct Entry
{
    QString user; // lower case
    QWeakPointer<TcpConnection> link;
    const TcpConnection *identity = nullptr;
    QMetaObject::Connection endedHook;
};

// Entries in registration order: the last one is the current link.
// std::mutex rather than QMutex: thread checkers see its hand-overs.
std::mutex registryMutex;
QVector<Entry> entries;

void removeAt(int index)
{
    QObject::disconnect(entries[index].endedHook);
    entries.removeAt(index);
}

// Called on whichever thread the link announces its end. The link may
// already be connected again (the same object is reused for reconnects) by
// the time a late announcement is delivered: then the entry stays.
void forgetEndedLink(const TcpConnection *link)
{
    if (link->isConnected())
        return;
    std::lock_guard<std::mutex> lock(registryMutex);
    for (int i = entries.size() - 1; i >= 0; --i)
        if (entries.at(i).identity == link)
            removeAt(i);
}

// The first of the candidates that is alive and connected. Runs without the
// registry's lock: dropping the last reference here may destroy a link, and
// a link that ends calls back into the registry.
QSharedPointer<TcpConnection> firstConnected(const QVector<QWeakPointer<TcpConnection>> &candidates)
{
    for (const QWeakPointer<TcpConnection> &candidate : candidates) {
        QSharedPointer<TcpConnection> link = candidate.toStrongRef();
        if (link && link->isConnected())
            return link;
    }
    return {};
}

} // namespace

void ServerLinkRegistry::registerLink(const QString &user,
                                      const QSharedPointer<TcpConnection> &link)
{
    if (!link || user.isEmpty())
        return;
    const QString name = user.toLower();
    std::lock_guard<std::mutex> lock(registryMutex);
    // A link serves one user, a user has one main link.
    for (int i = entries.size() - 1; i >= 0; --i)
        if (entries.at(i).user == name || entries.at(i).identity == link.data())
            removeAt(i);

    Entry entry;
    entry.user = name;
    entry.link = link;
    entry.identity = link.data();
    // The link is the context, so the hook dies with it.
    TcpConnection *raw = link.data();
    entry.endedHook = QObject::connect(raw, &TcpConnection::signalConnectionEnded, raw,
                                       [raw] { forgetEndedLink(raw); }, Qt::DirectConnection);
    entries.append(entry);
}

QSharedPointer<TcpConnection> ServerLinkRegistry::linkOf(const QString &user)
{
    const QString name = user.toLower();
    QVector<QWeakPointer<TcpConnection>> candidates;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (const Entry &entry : qAsConst(entries))
            if (entry.user == name)
                candidates.append(entry.link);
    }
    return firstConnected(candidates);
}

QSharedPointer<TcpConnection> ServerLinkRegistry::currentLink()
{
    QVector<QWeakPointer<TcpConnection>> candidates;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (int i = entries.size() - 1; i >= 0; --i)
            candidates.append(entries.at(i).link);
    }
    return firstConnected(candidates);
}
