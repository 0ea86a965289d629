#include "OwnerRequestGate.h"

#include <QMutexLocker>

namespace {

void releaseGatePlace(QHash<QString, int> &counts, const QString &key)
{
    const auto it = counts.find(key);
    if (it != counts.end() && --*it <= 0)
        counts.erase(it);
}

} // namespace

OwnerRequestGate::OwnerRequestGate(int maxPerOwner, int maxPerOwnerFromOneAddress)
    : m_maxPerOwner(maxPerOwner), m_maxPerOwnerFromOneAddress(maxPerOwnerFromOneAddress)
{
}

OwnerRequestGate::Pass OwnerRequestGate::enter(const QString &owner, const QString &address)
{
    // A user name never holds a line break.
    const QString ownerAndAddress = owner + QLatin1Char('\n') + address;
    QMutexLocker locker(&m_mutex);
    if (m_inside.value(owner) >= m_maxPerOwner
        || m_insideFromAddress.value(ownerAndAddress) >= m_maxPerOwnerFromOneAddress)
        return nullptr;
    ++m_inside[owner];
    ++m_insideFromAddress[ownerAndAddress];
    // The gate outlives every pass: the web server ends its transfers before
    // the site goes.
    return Pass(this, [this, owner, ownerAndAddress](void *) { leave(owner, ownerAndAddress); });
}

void OwnerRequestGate::leave(const QString &owner, const QString &ownerAndAddress)
{
    QMutexLocker locker(&m_mutex);
    releaseGatePlace(m_inside, owner);
    releaseGatePlace(m_insideFromAddress, ownerAndAddress);
}
