#include "AddressRateLimit.h"

#include <QMutexLocker>

namespace {
// Beyond this many addresses, the idle ones are dropped before adding more.
constexpr int PruneAbove = 4096;
}

AddressRateLimit::AddressRateLimit(int maxEvents, qint64 windowMs)
    : m_maxEvents(maxEvents), m_windowMs(windowMs)
{
}

void AddressRateLimit::forgetIdle(qint64 nowMs)
{
    for (auto it = m_events.begin(); it != m_events.end();) {
        if (it->isEmpty() || nowMs - it->last() >= m_windowMs)
            it = m_events.erase(it);
        else
            ++it;
    }
}

bool AddressRateLimit::allow(const QString &address, qint64 nowMs)
{
    QMutexLocker locker(&m_mutex);
    if (m_events.size() > PruneAbove)
        forgetIdle(nowMs);
    QVector<qint64> &events = m_events[address];
    while (!events.isEmpty() && nowMs - events.first() >= m_windowMs)
        events.removeFirst();
    if (events.size() >= m_maxEvents)
        return false;
    events.append(nowMs);
    return true;
}
