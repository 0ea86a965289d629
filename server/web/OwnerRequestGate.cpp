#include "OwnerRequestGate.h"

#include <QMutexLocker>

OwnerRequestGate::OwnerRequestGate(int maxPerOwner)
    : m_maxPerOwner(maxPerOwner)
{
}

OwnerRequestGate::Pass OwnerRequestGate::enter(const QString &owner)
{
    QMutexLocker locker(&m_mutex);
    int &inside = m_inside[owner];
    if (inside >= m_maxPerOwner)
        return nullptr;
    ++inside;
    // The gate outlives every pass: the web server ends its transfers before
    // the site goes.
    return Pass(this, [this, owner](void *) { leave(owner); });
}

void OwnerRequestGate::leave(const QString &owner)
{
    QMutexLocker locker(&m_mutex);
    const auto it = m_inside.find(owner);
    if (it != m_inside.end() && --*it <= 0)
        m_inside.erase(it);
}
