#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QtGlobal>

// Makes guessing the passwords of web-shared files slow. Every password check
// counts as a wrong guess until its answer says it was right, so checks that
// run at once cannot slip past the budget. Two budgets are kept:
// - per connection: a few free checks, then each check must wait a delay that
//   doubles up to a minute;
// - per address, over every owner and file: ten free checks, then the same
//   doubling delay. New connections do not escape it.
// A guess that must wait is not checked at all, right or wrong: were only the
// wrong ones held back, the speed of an answer would tell the password. A
// right password gives back its own charge and clears nothing else, or a
// guesser could publish a file of his own and clear his budget between
// guesses. Address budgets unused for a while are forgotten. Safe to use
// from several threads; a connection's budget is used by one request at a time.
class PasswordGuessThrottle
{
public:
    struct Policy
    {
        int freeChecksPerConnection = 3;
        int freeChecksPerAddress = 10;
        qint64 firstDelayMs = 1000;
        qint64 maxDelayMs = 60000;
        qint64 forgetAfterMs = 15 * 60 * 1000;
        // Above this many address budgets, forgotten ones are dropped at once.
        int pruneAbove = 4096;
    };

    struct Budget
    {
        int checks = 0;
        qint64 waitUntilMs = 0;
        qint64 lastMs = 0;
    };

    PasswordGuessThrottle();
    explicit PasswordGuessThrottle(const Policy &policy);

    // Before a password from address on a connection with budget `connection`
    // is checked (nowMs from a monotonic clock): 0 when it may be checked,
    // which charges both budgets; otherwise the milliseconds until one may,
    // and nothing is charged.
    qint64 admit(const QString &address, Budget &connection, qint64 nowMs);
    // The password admitted last for address on `connection` was right.
    void succeeded(const QString &address, Budget &connection);

private:
    void charge(Budget &budget, int freeChecks, qint64 nowMs) const;
    static void giveBack(Budget &budget, int freeChecks);
    void pruneForgotten(qint64 nowMs);

    const Policy m_policy;
    QMutex m_mutex;
    QHash<QString, Budget> m_addresses;
};
