#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

// Makes password guessing slow without letting a stranger lock the real user
// out. Every login attempt counts as failed until it succeeds. Two budgets
// are kept:
// - per (account, address): a few free attempts, then each attempt must wait
//   a delay that doubles up to tens of seconds. It stops one address from
//   guessing one account; the real user on another address is untouched.
// - per address, over all accounts: a larger free budget with the same
//   doubling delay. It stops one address from spraying many accounts.
// No budget is kept per account alone: anyone could then lock its user out.
// A success clears its (account, address) budget and returns its own charge to
// the address. Budgets unused for a while are forgotten.
//
// Not thread-safe: the main server's thread owns it.
class LoginThrottle
{
public:
    struct Policy
    {
        int freeAttemptsPerAccountAddress = 5;
        int freeAttemptsPerAddress = 20;
        qint64 firstDelayMs = 1000;
        qint64 maxAccountAddressDelayMs = 30000;
        qint64 maxAddressDelayMs = 60000;
        qint64 forgetAfterMs = 15 * 60 * 1000;
        // Above this many budgets, forgotten ones are dropped at once.
        int pruneAbove = 10000;
    };

    LoginThrottle();
    explicit LoginThrottle(const Policy &policy);

    // Before a password is checked (nowMs from a monotonic clock): 0 when the
    // attempt may go ahead, which charges it to both budgets; otherwise the
    // milliseconds until one may, and nothing is charged.
    qint64 admit(const QString &account, const QString &address, qint64 nowMs);
    // The attempt admitted for account from address was right.
    void succeeded(const QString &account, const QString &address);

private:
    struct Budget
    {
        int attempts = 0;
        qint64 waitUntilMs = 0;
        qint64 lastMs = 0;
    };

    Budget &budget(QHash<QString, Budget> &budgets, const QString &key, qint64 nowMs);
    void charge(Budget &budget, int freeAttempts, qint64 maxDelayMs, qint64 nowMs) const;
    void prune(QHash<QString, Budget> &budgets, qint64 nowMs) const;
    static QString pairKey(const QString &account, const QString &address);

    Policy m_policy;
    QHash<QString, Budget> m_pairs;
    QHash<QString, Budget> m_addresses;
};
