// The budgets that slow password guessing, driven with a clock of our own.

#include "QtTestSuite.h"
#include "LoginThrottle.h"

#include <QtTest>

namespace {

struct Attempt
{
    QString account;
    QString address;
    qint64 atMs;
    bool admitted;
    bool right = false; // tell the throttle it succeeded
};

LoginThrottle::Policy smallPolicy()
{
    LoginThrottle::Policy policy;
    policy.freeAttemptsPerAccountAddress = 2;
    policy.freeAttemptsPerAddress = 4;
    policy.firstDelayMs = 1000;
    policy.maxAccountAddressDelayMs = 4000;
    policy.maxAddressDelayMs = 8000;
    policy.forgetAfterMs = 60000;
    return policy;
}

} // namespace

Q_DECLARE_METATYPE(QList<Attempt>)

class tst_LoginThrottle : public QObject
{
    Q_OBJECT

private slots:
    void attemptsAreAdmittedOrRefused_data()
    {
        QTest::addColumn<QList<Attempt>>("attempts");
        const QString a = QStringLiteral("alice");
        const QString b = QStringLiteral("bob");
        const QString guesser = QStringLiteral("10.0.0.66");
        const QString home = QStringLiteral("10.0.0.1");

        QTest::newRow("free attempts, then a wait that doubles up to its cap")
            << QList<Attempt>{{a, guesser, 0, true},     {a, guesser, 1, true},
                              {a, guesser, 2, true},     // third: the first delay starts (1 s)
                              {a, guesser, 500, false},  {a, guesser, 1002, true}, // then 2 s
                              {a, guesser, 2500, false}, {a, guesser, 3002, true}, // then 4 s (the cap)
                              {a, guesser, 6900, false}, {a, guesser, 7002, true}, // still 4 s
                              {a, guesser, 10900, false}, {a, guesser, 11002, true}};
        QTest::newRow("the right password is refused too while the wait lasts")
            << QList<Attempt>{{a, guesser, 0, true}, {a, guesser, 0, true}, {a, guesser, 0, true},
                              {a, guesser, 10, false, true}};
        QTest::newRow("a guesser does not lock the user out on another address")
            << QList<Attempt>{{a, guesser, 0, true}, {a, guesser, 0, true}, {a, guesser, 0, true},
                              {a, guesser, 10, false}, {a, home, 10, true, true}, {a, home, 11, true, true}};
        QTest::newRow("one address spraying many accounts meets the address budget")
            << QList<Attempt>{{QStringLiteral("u1"), guesser, 0, true}, {QStringLiteral("u2"), guesser, 0, true},
                              {QStringLiteral("u3"), guesser, 0, true}, {QStringLiteral("u4"), guesser, 0, true},
                              {QStringLiteral("u5"), guesser, 0, true}, // fifth: the address waits 1 s
                              {QStringLiteral("u6"), guesser, 10, false}, {b, home, 10, true}};
        QTest::newRow("a success clears its pair and gives back its own charge only")
            << QList<Attempt>{{a, home, 0, true}, {a, home, 0, true, true}, {a, home, 0, true},
                              {a, home, 0, true}, {a, home, 0, true}, {a, home, 10, false}};
        QTest::newRow("logging into an own account does not reset the address budget")
            << QList<Attempt>{{QStringLiteral("u1"), guesser, 0, true}, {QStringLiteral("u2"), guesser, 0, true},
                              {QStringLiteral("u3"), guesser, 0, true}, {QStringLiteral("u4"), guesser, 0, true},
                              {QStringLiteral("own"), guesser, 0, true, true},
                              {QStringLiteral("u5"), guesser, 0, true}, {QStringLiteral("u6"), guesser, 10, false}};
        QTest::newRow("names in any case share one budget")
            << QList<Attempt>{{a, guesser, 0, true}, {QStringLiteral("ALICE"), guesser, 0, true},
                              {QStringLiteral("Alice"), guesser, 0, true}, {a, guesser, 10, false}};
        QTest::newRow("budgets unused for a while are forgotten")
            << QList<Attempt>{{a, guesser, 0, true}, {a, guesser, 0, true}, {a, guesser, 0, true},
                              {a, guesser, 10, false}, {a, guesser, 70000, true}, {a, guesser, 70000, true}};
    }
    void attemptsAreAdmittedOrRefused()
    {
        QFETCH(QList<Attempt>, attempts);
        LoginThrottle throttle(smallPolicy());
        for (int i = 0; i < attempts.size(); ++i) {
            const Attempt &attempt = attempts.at(i);
            const qint64 wait = throttle.admit(attempt.account, attempt.address, attempt.atMs);
            QVERIFY2((wait == 0) == attempt.admitted,
                     qPrintable(QStringLiteral("attempt %1 waits %2 ms").arg(i).arg(wait)));
            if (wait == 0 && attempt.right)
                throttle.succeeded(attempt.account, attempt.address);
        }
    }

    void manyGuessersStayBounded()
    {
        // Budgets of long gone addresses are dropped, not kept for ever.
        LoginThrottle::Policy policy = smallPolicy();
        policy.pruneAbove = 100;
        LoginThrottle throttle(policy);
        for (int i = 0; i < 1000; ++i)
            throttle.admit(QStringLiteral("alice"), QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256),
                           qint64(i) * policy.forgetAfterMs);
        // A fresh address still gets its free attempts.
        QCOMPARE(throttle.admit(QStringLiteral("alice"), QStringLiteral("10.9.9.9"), 1000 * policy.forgetAfterMs), 0);
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_LoginThrottle)
#include "tst_LoginThrottle.moc"
