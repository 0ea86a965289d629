#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Makes password guessing slow without letting a stranger lock the real user
// out. Only a password that was checked and found wrong is charged: a login
// refused unchecked (throttled, server busy) costs nothing. Three budgets are
// kept, each with a few free failures and then a delay that doubles up to a
// cap before the next attempt may be checked:
// - per account, over every address the account never logged in from: it
//   stops guessers spread over any number of addresses. The addresses it did
//   log in from (the most recent few, kept here) skip it, so guessers
//   elsewhere never lock the owner out where she usually logs in.
// - per (account, address): stops one address guessing one account, also at
//   a known address (someone sharing it, or the owner mistyping).
// - per address, over all accounts: stops one address spraying many accounts.
// The account and (account, address) budgets let only one attempt past their
// free failures be checked at a time: without that, a hundred links asking at
// once would all be checked before the first failure was charged. Budgets
// unused for a while are forgotten.
//
// Not thread-safe: the main server's thread owns it.
class LoginThrottle
{
public:
    struct Policy
    {
        int freeAttemptsPerAccountAddress = 5;
        int freeAttemptsPerAddress = 20;
        int freeAttemptsPerAccount = 20;
        qint64 firstDelayMs = 1000;
        qint64 maxAccountAddressDelayMs = 30000;
        qint64 maxAddressDelayMs = 60000;
        qint64 maxAccountDelayMs = 60000;
        qint64 forgetAfterMs = 15 * 60 * 1000;
        int knownAddressesPerAccount = 8;
        // Above this many budgets, forgotten ones are dropped at once.
        int pruneAbove = 10000;
    };

    // An admitted attempt, until its outcome is told.
    struct Ticket
    {
        QString account;
        QString address;
        bool accountWide = false; // holds a place in the account's own budget
    };

    LoginThrottle();
    explicit LoginThrottle(const Policy &policy);

    // Before a password is checked (nowMs from a monotonic clock): 0 when the
    // attempt may go ahead, which fills ticket; otherwise the milliseconds
    // after which one may.
    qint64 admit(const QString &account, const QString &address, qint64 nowMs, Ticket *ticket);
    // Exactly one of these follows every admitted attempt.
    void failed(const Ticket &ticket, qint64 nowMs);    // checked: wrong
    void succeeded(const Ticket &ticket);               // checked: right
    void withdrawn(const Ticket &ticket);               // never checked

private:
    struct Budget
    {
        int failures = 0;
        int checking = 0; // admitted, outcome not told yet
        qint64 waitUntilMs = 0;
        qint64 lastMs = 0;
    };

    Budget &budget(QHash<QString, Budget> &budgets, const QString &key, qint64 nowMs);
    qint64 waitFor(const Budget &budget, int freeAttempts, bool oneCheckAtATime, qint64 nowMs) const;
    void charge(Budget &budget, int freeAttempts, qint64 maxDelayMs, qint64 nowMs) const;
    static void release(QHash<QString, Budget> &budgets, const QString &key);
    void prune(QHash<QString, Budget> &budgets, qint64 nowMs) const;
    bool isKnownAddress(const QString &account, const QString &address) const;
    void learnAddress(const QString &account, const QString &address);
    static QString accountKey(const QString &account);
    static QString pairKey(const QString &account, const QString &address);

    Policy m_policy;
    QHash<QString, Budget> m_accounts;
    QHash<QString, Budget> m_pairs;
    QHash<QString, Budget> m_addresses;
    // Per account, the addresses of its latest successful logins, newest first.
    QHash<QString, QStringList> m_knownAddresses;
};
