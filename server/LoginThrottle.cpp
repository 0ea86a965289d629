#include "LoginThrottle.h"

#include <algorithm>

LoginThrottle::LoginThrottle()
    : LoginThrottle(Policy())
{
}

LoginThrottle::LoginThrottle(const Policy &policy)
    : m_policy(policy)
{
}

QString LoginThrottle::pairKey(const QString &account, const QString &address)
{
    // A user name never holds a line break.
    return account.toLower() + QLatin1Char('\n') + address;
}

LoginThrottle::Budget &LoginThrottle::budget(QHash<QString, Budget> &budgets, const QString &key, qint64 nowMs)
{
    if (budgets.size() > m_policy.pruneAbove)
        prune(budgets, nowMs);
    Budget &found = budgets[key];
    if (nowMs - found.lastMs > m_policy.forgetAfterMs)
        found = Budget();
    return found;
}

void LoginThrottle::prune(QHash<QString, Budget> &budgets, qint64 nowMs) const
{
    for (auto it = budgets.begin(); it != budgets.end();) {
        if (nowMs - it->lastMs > m_policy.forgetAfterMs)
            it = budgets.erase(it);
        else
            ++it;
    }
}

void LoginThrottle::charge(Budget &budget, int freeAttempts, qint64 maxDelayMs, qint64 nowMs) const
{
    ++budget.attempts;
    budget.lastMs = nowMs;
    const int over = budget.attempts - freeAttempts;
    if (over <= 0)
        return;
    // The delay doubles with each attempt past the free ones, up to the cap.
    qint64 delay = m_policy.firstDelayMs;
    for (int i = 1; i < over && delay < maxDelayMs; ++i)
        delay *= 2;
    budget.waitUntilMs = nowMs + std::min(delay, maxDelayMs);
}

qint64 LoginThrottle::admit(const QString &account, const QString &address, qint64 nowMs)
{
    Budget &pair = budget(m_pairs, pairKey(account, address), nowMs);
    Budget &source = budget(m_addresses, address, nowMs);
    const qint64 wait = std::max(pair.waitUntilMs, source.waitUntilMs) - nowMs;
    if (wait > 0)
        return wait;
    charge(pair, m_policy.freeAttemptsPerAccountAddress, m_policy.maxAccountAddressDelayMs, nowMs);
    charge(source, m_policy.freeAttemptsPerAddress, m_policy.maxAddressDelayMs, nowMs);
    return 0;
}

void LoginThrottle::succeeded(const QString &account, const QString &address)
{
    m_pairs.remove(pairKey(account, address));
    const auto source = m_addresses.find(address);
    if (source == m_addresses.end())
        return;
    source->attempts = std::max(0, source->attempts - 1);
    if (source->attempts <= m_policy.freeAttemptsPerAddress)
        source->waitUntilMs = 0;
}
