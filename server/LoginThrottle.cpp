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

QString LoginThrottle::accountKey(const QString &account)
{
    return account.toLower();
}

QString LoginThrottle::pairKey(const QString &account, const QString &address)
{
    // A user name never holds a line break.
    return accountKey(account) + QLatin1Char('\n') + address;
}

LoginThrottle::Budget &LoginThrottle::budget(QHash<QString, Budget> &budgets, const QString &key, qint64 nowMs)
{
    if (budgets.size() > m_policy.pruneAbove)
        prune(budgets, nowMs);
    Budget &found = budgets[key];
    if (found.checking == 0 && nowMs - found.lastMs > m_policy.forgetAfterMs)
        found = Budget();
    return found;
}

void LoginThrottle::prune(QHash<QString, Budget> &budgets, qint64 nowMs) const
{
    for (auto it = budgets.begin(); it != budgets.end();) {
        if (it->checking == 0 && nowMs - it->lastMs > m_policy.forgetAfterMs)
            it = budgets.erase(it);
        else
            ++it;
    }
}

qint64 LoginThrottle::waitFor(const Budget &budget, int freeAttempts, bool oneCheckAtATime, qint64 nowMs) const
{
    const qint64 wait = budget.waitUntilMs - nowMs;
    if (wait > 0)
        return wait;
    // The attempt being checked may be the failure that starts a delay.
    if (oneCheckAtATime && budget.checking > 0 && budget.failures + budget.checking >= freeAttempts)
        return m_policy.firstDelayMs;
    return 0;
}

void LoginThrottle::charge(Budget &budget, int freeAttempts, qint64 maxDelayMs, qint64 nowMs) const
{
    ++budget.failures;
    budget.lastMs = nowMs;
    const int over = budget.failures - freeAttempts;
    if (over <= 0)
        return;
    // The delay doubles with each failure past the free ones, up to the cap.
    qint64 delay = m_policy.firstDelayMs;
    for (int i = 1; i < over && delay < maxDelayMs; ++i)
        delay *= 2;
    budget.waitUntilMs = nowMs + std::min(delay, maxDelayMs);
}

void LoginThrottle::release(QHash<QString, Budget> &budgets, const QString &key)
{
    const auto found = budgets.find(key);
    if (found != budgets.end())
        found->checking = std::max(0, found->checking - 1);
}

qint64 LoginThrottle::admit(const QString &account, const QString &address, qint64 nowMs, Ticket *ticket)
{
    const bool accountWide = !isKnownAddress(account, address);
    Budget &pair = budget(m_pairs, pairKey(account, address), nowMs);
    Budget &source = budget(m_addresses, address, nowMs);
    Budget *own = accountWide ? &budget(m_accounts, accountKey(account), nowMs) : nullptr;

    qint64 wait = std::max(waitFor(pair, m_policy.freeAttemptsPerAccountAddress, true, nowMs),
                           waitFor(source, m_policy.freeAttemptsPerAddress, false, nowMs));
    if (own)
        wait = std::max(wait, waitFor(*own, m_policy.freeAttemptsPerAccount, true, nowMs));
    if (wait > 0)
        return wait;

    for (Budget *held : {&pair, own}) {
        if (!held)
            continue;
        ++held->checking;
        held->lastMs = nowMs;
    }
    *ticket = Ticket{account, address, accountWide};
    return 0;
}

void LoginThrottle::failed(const Ticket &ticket, qint64 nowMs)
{
    const QString key = pairKey(ticket.account, ticket.address);
    release(m_pairs, key);
    charge(budget(m_pairs, key, nowMs), m_policy.freeAttemptsPerAccountAddress,
           m_policy.maxAccountAddressDelayMs, nowMs);
    charge(budget(m_addresses, ticket.address, nowMs), m_policy.freeAttemptsPerAddress,
           m_policy.maxAddressDelayMs, nowMs);
    if (ticket.accountWide) {
        release(m_accounts, accountKey(ticket.account));
        charge(budget(m_accounts, accountKey(ticket.account), nowMs), m_policy.freeAttemptsPerAccount,
               m_policy.maxAccountDelayMs, nowMs);
    }
}

void LoginThrottle::succeeded(const Ticket &ticket)
{
    m_pairs.remove(pairKey(ticket.account, ticket.address));
    // The account's budget keeps what guessers spent: the owner logging in
    // elsewhere must not give them a fresh one.
    if (ticket.accountWide)
        release(m_accounts, accountKey(ticket.account));
    learnAddress(ticket.account, ticket.address);
}

void LoginThrottle::withdrawn(const Ticket &ticket)
{
    release(m_pairs, pairKey(ticket.account, ticket.address));
    if (ticket.accountWide)
        release(m_accounts, accountKey(ticket.account));
}

bool LoginThrottle::isKnownAddress(const QString &account, const QString &address) const
{
    return m_knownAddresses.value(accountKey(account)).contains(address);
}

void LoginThrottle::learnAddress(const QString &account, const QString &address)
{
    // Only right passwords get here, so this table grows with real accounts only.
    QStringList &known = m_knownAddresses[accountKey(account)];
    known.removeAll(address);
    known.prepend(address);
    while (known.size() > m_policy.knownAddressesPerAccount)
        known.removeLast();
}
