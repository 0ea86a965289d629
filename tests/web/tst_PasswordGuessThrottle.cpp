#include "QtTestSuite.h"
#include "PasswordGuessThrottle.h"

#include <QtTest>

class tst_PasswordGuessThrottle : public QObject
{
    Q_OBJECT

private slots:
    void budgetsRunOutThenWaitsDouble_data();
    void budgetsRunOutThenWaitsDouble();
    void rightPasswordGivesBackOnlyItsOwnCharge();
    void quietAddressIsForgotten();
};

void tst_PasswordGuessThrottle::budgetsRunOutThenWaitsDouble_data()
{
    QTest::addColumn<bool>("newConnectionEachTime");
    QTest::addColumn<int>("freeChecks");
    QTest::newRow("one connection") << false << PasswordGuessThrottle::Policy().freeChecksPerConnection;
    QTest::newRow("a new connection for each guess") << true << PasswordGuessThrottle::Policy().freeChecksPerAddress;
}

void tst_PasswordGuessThrottle::budgetsRunOutThenWaitsDouble()
{
    QFETCH(bool, newConnectionEachTime);
    QFETCH(int, freeChecks);
    PasswordGuessThrottle throttle;
    PasswordGuessThrottle::Budget connection;
    qint64 now = 1000000;
    auto admit = [&] {
        if (newConnectionEachTime)
            connection = PasswordGuessThrottle::Budget();
        return throttle.admit(QStringLiteral("10.0.0.1"), connection, now);
    };
    for (int i = 0; i < freeChecks; ++i)
        QCOMPARE(admit(), 0);
    // Each check past the free ones waits twice as long as the last, up to a minute.
    QList<qint64> waits;
    for (int i = 0; i < 8; ++i) {
        const qint64 wait = admit();
        waits << wait;
        now += wait;
        QCOMPARE(admit(), 0);
    }
    QCOMPARE(waits, QList<qint64>({1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    // Another address is not held back.
    PasswordGuessThrottle::Budget otherConnection;
    QCOMPARE(throttle.admit(QStringLiteral("10.0.0.2"), otherConnection, now), 0);
}

void tst_PasswordGuessThrottle::rightPasswordGivesBackOnlyItsOwnCharge()
{
    // A guesser alternates the victim's file with one of his own whose
    // password he knows: his budget still runs out after the free checks.
    PasswordGuessThrottle throttle;
    const QString address = QStringLiteral("10.0.0.1");
    const qint64 now = 1000000;
    int wrongChecked = 0;
    for (int i = 0; i < 40; ++i) {
        PasswordGuessThrottle::Budget connection;
        if (throttle.admit(address, connection, now) != 0)
            break;
        ++wrongChecked;
        if (throttle.admit(address, connection, now) == 0)
            throttle.succeeded(address, connection);
    }
    QCOMPARE(wrongChecked, PasswordGuessThrottle::Policy().freeChecksPerAddress);
}

void tst_PasswordGuessThrottle::quietAddressIsForgotten()
{
    PasswordGuessThrottle::Policy policy;
    PasswordGuessThrottle throttle(policy);
    const QString address = QStringLiteral("10.0.0.1");
    qint64 now = 1000000;
    for (int i = 0; i < policy.freeChecksPerAddress; ++i) {
        PasswordGuessThrottle::Budget connection;
        QCOMPARE(throttle.admit(address, connection, now), 0);
    }
    PasswordGuessThrottle::Budget connection;
    QVERIFY(throttle.admit(address, connection, now) > 0);
    // Quiet for longer than the policy remembers: the free checks are back.
    now += policy.forgetAfterMs + 1;
    for (int i = 0; i < policy.freeChecksPerAddress; ++i) {
        PasswordGuessThrottle::Budget fresh;
        QCOMPARE(throttle.admit(address, fresh, now), 0);
    }
}

WIVORA_TEST_GUILESS_MAIN(tst_PasswordGuessThrottle)
#include "tst_PasswordGuessThrottle.moc"
