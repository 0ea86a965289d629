// The budgets that slow password guessing, driven with a clock of our own.

#include "QtTestSuite.h"
#include "LoginThrottle.h"

#include <QtTest>

namespace {

enum class Outcome { Wrong, Right, Unchecked };

struct Attempt
{
    QString account;
    QString address;
    qint64 atMs;
    bool admitted;
    Outcome outcome = Outcome::Wrong; // told at once when admitted
};

// Budgets a row does not look at stay out of its way.
constexpr int Plenty = 1000;

LoginThrottle::Policy policy(int freePerAccountAddress, int freePerAddress, int freePerAccount)
{
    LoginThrottle::Policy policy;
    policy.freeAttemptsPerAccountAddress = freePerAccountAddress;
    policy.freeAttemptsPerAddress = freePerAddress;
    policy.freeAttemptsPerAccount = freePerAccount;
    policy.firstDelayMs = 1000;
    policy.maxAccountAddressDelayMs = 4000;
    policy.maxAddressDelayMs = 8000;
    policy.maxAccountDelayMs = 8000;
    policy.forgetAfterMs = 60000;
    policy.knownAddressesPerAccount = 2;
    return policy;
}

QString guesser(int n)
{
    return QStringLiteral("10.66.0.%1").arg(n);
}

} // namespace

Q_DECLARE_METATYPE(QList<Attempt>)
Q_DECLARE_METATYPE(LoginThrottle::Policy)

class tst_LoginThrottle : public QObject
{
    Q_OBJECT

private slots:
    void attemptsAreAdmittedOrRefused_data()
    {
        QTest::addColumn<LoginThrottle::Policy>("policy");
        QTest::addColumn<QList<Attempt>>("attempts");
        const QString a = QStringLiteral("alice");
        const QString b = QStringLiteral("bob");
        const QString g = guesser(1);
        const QString home = QStringLiteral("10.0.0.1");
        const QString hotel = QStringLiteral("10.0.0.2");
        const auto W = Outcome::Wrong;
        const auto R = Outcome::Right;
        const auto U = Outcome::Unchecked;

        QTest::newRow("one address on one account: free failures, then a wait that doubles up to its cap")
            << policy(2, Plenty, Plenty)
            << QList<Attempt>{{a, g, 0, true},      {a, g, 1, true},
                              {a, g, 2, true},      // third failure: the first delay starts (1 s)
                              {a, g, 500, false},   {a, g, 1002, true}, // then 2 s
                              {a, g, 2500, false},  {a, g, 3002, true}, // then 4 s (the cap)
                              {a, g, 6900, false},  {a, g, 7002, true}, // still 4 s
                              {a, g, 10900, false}, {a, g, 11002, true}};
        QTest::newRow("the right password is refused too while the wait lasts")
            << policy(2, Plenty, Plenty)
            << QList<Attempt>{{a, g, 0, true}, {a, g, 0, true}, {a, g, 0, true}, {a, g, 10, false, R}};
        QTest::newRow("attempts never checked cost nothing")
            << policy(2, 2, 2)
            << QList<Attempt>{{a, g, 0, true, U}, {a, g, 0, true, U}, {a, g, 0, true, U}, {a, g, 0, true, U},
                              {a, g, 0, true}, {a, g, 0, true}, {a, g, 0, true}, {a, g, 10, false}};
        QTest::newRow("guessers on many addresses meet the account's budget")
            << policy(Plenty, Plenty, 3)
            << QList<Attempt>{{a, guesser(1), 0, true}, {a, guesser(2), 0, true}, {a, guesser(3), 0, true},
                              {a, guesser(4), 10, true}, // fourth failure: the account waits 1 s
                              {a, guesser(5), 500, false}, {a, guesser(6), 1011, true}, // then 2 s
                              {a, guesser(7), 2500, false}, {a, guesser(8), 3012, true},
                              {b, guesser(9), 3013, true}}; // other accounts are untouched
        QTest::newRow("the owner's known address keeps its own budget")
            << policy(2, Plenty, 3)
            << QList<Attempt>{{a, home, 0, true, R},
                              {a, guesser(1), 1, true}, {a, guesser(2), 1, true}, {a, guesser(3), 1, true},
                              {a, guesser(4), 1, true}, {a, guesser(5), 10, false},
                              {a, home, 10, true, R}, {a, home, 11, true, W}, {a, home, 12, true, R},
                              {a, hotel, 13, false, R}}; // a new address of hers meets the account's budget
        QTest::newRow("the owner logging in gives guessers no fresh account budget")
            << policy(Plenty, Plenty, 2)
            << QList<Attempt>{{a, home, 0, true, R}, {a, guesser(1), 1, true}, {a, guesser(2), 1, true},
                              {a, guesser(3), 1, true}, {a, home, 2, true, R}, {a, guesser(4), 3, false}};
        QTest::newRow("only the latest known addresses are kept")
            << policy(Plenty, Plenty, 1)
            << QList<Attempt>{{a, QStringLiteral("10.0.0.7"), 0, true, R}, {a, hotel, 0, true, R},
                              {a, home, 0, true, R}, {a, guesser(1), 1, true},
                              {a, guesser(2), 1, true}, // the account waits now
                              {a, home, 2, true, R}, {a, hotel, 2, true, R},
                              {a, QStringLiteral("10.0.0.7"), 2, false, R}};
        QTest::newRow("one address spraying many accounts meets the address budget")
            << policy(Plenty, 4, Plenty)
            << QList<Attempt>{{QStringLiteral("u1"), g, 0, true}, {QStringLiteral("u2"), g, 0, true},
                              {QStringLiteral("u3"), g, 0, true}, {QStringLiteral("u4"), g, 0, true},
                              {QStringLiteral("u5"), g, 0, true}, // fifth failure: the address waits 1 s
                              {QStringLiteral("u6"), g, 10, false}, {b, home, 10, true}};
        QTest::newRow("logging into an own account does not reset the address budget")
            << policy(Plenty, 4, Plenty)
            << QList<Attempt>{{QStringLiteral("u1"), g, 0, true}, {QStringLiteral("u2"), g, 0, true},
                              {QStringLiteral("u3"), g, 0, true}, {QStringLiteral("u4"), g, 0, true},
                              {QStringLiteral("own"), g, 0, true, R},
                              {QStringLiteral("u5"), g, 0, true}, {QStringLiteral("u6"), g, 10, false}};
        QTest::newRow("names in any case share one budget")
            << policy(2, Plenty, Plenty)
            << QList<Attempt>{{a, g, 0, true}, {QStringLiteral("ALICE"), g, 0, true},
                              {QStringLiteral("Alice"), g, 0, true}, {a, g, 10, false}};
        QTest::newRow("budgets unused for a while are forgotten")
            << policy(2, 2, 2)
            << QList<Attempt>{{a, g, 0, true}, {a, g, 0, true}, {a, g, 0, true},
                              {a, g, 10, false}, {a, g, 70000, true}, {a, g, 70000, true}};
    }
    void attemptsAreAdmittedOrRefused()
    {
        QFETCH(LoginThrottle::Policy, policy);
        QFETCH(QList<Attempt>, attempts);
        LoginThrottle throttle(policy);
        for (int i = 0; i < attempts.size(); ++i) {
            const Attempt &attempt = attempts.at(i);
            LoginThrottle::Ticket ticket;
            const qint64 wait = throttle.admit(attempt.account, attempt.address, attempt.atMs, &ticket);
            QVERIFY2((wait == 0) == attempt.admitted,
                     qPrintable(QStringLiteral("attempt %1 waits %2 ms").arg(i).arg(wait)));
            if (wait > 0)
                continue;
            switch (attempt.outcome) {
            case Outcome::Wrong: throttle.failed(ticket, attempt.atMs); break;
            case Outcome::Right: throttle.succeeded(ticket); break;
            case Outcome::Unchecked: throttle.withdrawn(ticket); break;
            }
        }
    }

    void manyLinksAtOnceGetOnlyTheFreeChecks_data()
    {
        QTest::addColumn<LoginThrottle::Policy>("policy");
        QTest::addColumn<bool>("manyAddresses");
        QTest::newRow("one address") << policy(3, Plenty, Plenty) << false;
        QTest::newRow("an address each") << policy(Plenty, Plenty, 3) << true;
    }
    void manyLinksAtOnceGetOnlyTheFreeChecks()
    {
        // A hundred guesses arrive before the first check ends: the free ones
        // are checked at once, the rest must wait for their outcome.
        QFETCH(LoginThrottle::Policy, policy);
        QFETCH(bool, manyAddresses);
        LoginThrottle throttle(policy);
        QList<LoginThrottle::Ticket> checking;
        for (int i = 0; i < 100; ++i) {
            LoginThrottle::Ticket ticket;
            if (throttle.admit(QStringLiteral("alice"), guesser(manyAddresses ? i : 1), 0, &ticket) == 0)
                checking << ticket;
        }
        QCOMPARE(checking.size(), 3);

        // A busy server gave two back unchecked: two more may go.
        throttle.withdrawn(checking.takeLast());
        throttle.withdrawn(checking.takeLast());
        LoginThrottle::Ticket ticket;
        QCOMPARE(throttle.admit(QStringLiteral("alice"), guesser(manyAddresses ? 200 : 1), 0, &ticket), 0);
        QCOMPARE(throttle.admit(QStringLiteral("alice"), guesser(manyAddresses ? 201 : 1), 0, &ticket), 0);
        QVERIFY(throttle.admit(QStringLiteral("alice"), guesser(manyAddresses ? 202 : 1), 0, &ticket) > 0);
    }

    void manyGuessersStayBounded()
    {
        // Budgets of long gone addresses are dropped, not kept for ever.
        LoginThrottle::Policy bounded = policy(2, 4, 4);
        bounded.pruneAbove = 100;
        LoginThrottle throttle(bounded);
        for (int i = 0; i < 1000; ++i) {
            const qint64 atMs = qint64(i) * bounded.forgetAfterMs;
            LoginThrottle::Ticket ticket;
            if (throttle.admit(QStringLiteral("user%1").arg(i), QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256),
                               atMs, &ticket) == 0)
                throttle.failed(ticket, atMs);
        }
        // A fresh address still gets its free attempts.
        LoginThrottle::Ticket ticket;
        QCOMPARE(throttle.admit(QStringLiteral("alice"), QStringLiteral("10.9.9.9"), 1000 * bounded.forgetAfterMs,
                                &ticket), 0);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_LoginThrottle)
#include "tst_LoginThrottle.moc"