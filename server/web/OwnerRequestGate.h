#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <memory>

// How many requests may wait for one file owner's client at once. A client
// that never answers then holds only a few of the threads that wait for
// clients, and everyone else's files and pages go on. Safe from several threads.
class OwnerRequestGate
{
public:
    using Pass = std::shared_ptr<void>;

    explicit OwnerRequestGate(int maxPerOwner);

    // A pass that lets one request go to owner's client, held as long as the
    // request (and the transfer it starts) needs that client; null when the
    // owner has maxPerOwner passes out already.
    Pass enter(const QString &owner);

private:
    void leave(const QString &owner);

    const int m_maxPerOwner;
    QMutex m_mutex;
    QHash<QString, int> m_inside;
};
