#include "PasswordGuessThrottle.h"

#include <QMutexLocker>

#include <algorithm>

PasswordGuessThrottle::PasswordGuessThrottle()
    : PasswordGuessThrottle(Policy())
{
}

PasswordGuessThrottle::PasswordGuessThrottle(const Policy &policy)
    : m_policy(policy)
{
}

void PasswordGuessThrottle::pruneForgotten(qint64 nowMs)
{
    for (auto it = m_addresses.begin(); it != m_addresses.end();) {
        if (nowMs - it->lastMs > m_policy.forgetAfterMs)
            it = m_addresses.erase(it);
        else
            ++it;
    }
}

void PasswordGuessThrottle::charge(Budget &budget, int freeChecks, qint64 nowMs) const
{
    ++budget.checks;
    budget.lastMs = nowMs;
    // The free checks spent, each further one waits twice as long as the last.
    const int over = budget.checks - freeChecks;
    if (over < 0)
        return;
    qint64 delay = m_policy.firstDelayMs;
    for (int i = 0; i < over && delay < m_policy.maxDelayMs; ++i)
        delay *= 2;
    budget.waitUntilMs = nowMs + std::min(delay, m_policy.maxDelayMs);
}

qint64 PasswordGuessThrottle::admit(const QString &address, Budget &connection, qint64 nowMs)
{
    QMutexLocker locker(&m_mutex);
    if (m_addresses.size() > m_policy.pruneAbove)
        pruneForgotten(nowMs);
    Budget &source = m_addresses[address];
    if (nowMs - source.lastMs > m_policy.forgetAfterMs)
        source = Budget();
    const qint64 wait = std::max(connection.waitUntilMs, source.waitUntilMs) - nowMs;
    if (wait > 0)
        return wait;
    charge(connection, m_policy.freeChecksPerConnection, nowMs);
    charge(source, m_policy.freeChecksPerAddress, nowMs);
    return 0;
}

void PasswordGuessThrottle::giveBack(Budget &budget, int freeChecks)
{
    budget.checks = std::max(0, budget.checks - 1);
    // Within the free checks again: no wait is owed.
    if (budget.checks < freeChecks)
        budget.waitUntilMs = 0;
}

void PasswordGuessThrottle::succeeded(const QString &address, Budget &connection)
{
    QMutexLocker locker(&m_mutex);
    giveBack(connection, m_policy.freeChecksPerConnection);
    const auto source = m_addresses.find(address);
    if (source != m_addresses.end())
        giveBack(*source, m_policy.freeChecksPerAddress);
}
