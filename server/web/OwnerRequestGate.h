#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <memory>

// How many requests may wait for one file owner's client at once, and how
// many of those one address may hold. A client that never answers then holds
// only a few of the threads that wait for clients, everyone else's files and
// pages go on, and one address cannot take all of an owner's places. Safe
// from several threads.
class OwnerRequestGate
{
public:
    using Pass = std::shared_ptr<void>;

    OwnerRequestGate(int maxPerOwner, int maxPerOwnerFromOneAddress);

    // A pass that lets one request from address go to owner's client, held as
    // long as the request (and the transfer it starts) needs that client; null
    // when the owner has all its passes out, or address has its share of them.
    Pass enter(const QString &owner, const QString &address);

private:
    void leave(const QString &owner, const QString &ownerAndAddress);

    const int m_maxPerOwner;
    const int m_maxPerOwnerFromOneAddress;
    QMutex m_mutex;
    QHash<QString, int> m_inside;            // per owner
    QHash<QString, int> m_insideFromAddress; // per owner and address
};
