#include "PeerLinkQuota.h"

PeerLinkQuota::PeerLinkQuota()
    : PeerLinkQuota(Limits())
{
}

PeerLinkQuota::PeerLinkQuota(const Limits &limits)
    : m_limits(limits)
{
}

PeerLinkQuota::Decision PeerLinkQuota::admit(const QHash<QString, int> &held, const QString &peer,
                                             bool isContact) const
{
    Decision decision;
    const int own = held.value(peer);
    if (peer.isEmpty() || own >= (isContact ? m_limits.perContact : m_limits.perStranger))
        return decision;
    int total = 0;
    QString largest;
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        total += it.value();
        if (largest.isEmpty() || it.value() > held.value(largest))
            largest = it.key();
    }
    if (total < m_limits.total) {
        decision.admitted = true;
        return decision;
    }
    // Only for a clearly larger holder: two equal ones would otherwise take
    // each other's links in turn.
    if (largest.isEmpty() || held.value(largest) <= own + 1)
        return decision;
    decision.admitted = true;
    decision.dropOneOf = largest;
    return decision;
}
