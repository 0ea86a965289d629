#include "QtTestSuite.h"
#include "WMailLocalClock.h"

#include <QtTest>

#include <ctime>

// The page's clock shows what the C library's local time shows, in zones
// with and without summer time, on both sides of a change.
class tst_WMailLocalClock : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { m_zone = qgetenv("TZ"); }
    void cleanupTestCase()
    {
        if (m_zone.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", m_zone);
        tzset();
    }

    void sameAsTheSystemClock_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::newRow("UTC") << QByteArray("UTC");
        QTest::newRow("Warsaw") << QByteArray("Europe/Warsaw");
        QTest::newRow("New York") << QByteArray("America/New_York");
        QTest::newRow("Kolkata, half hours") << QByteArray("Asia/Kolkata");
        QTest::newRow("Lord Howe, half an hour of summer") << QByteArray("Australia/Lord_Howe");
    }
    void sameAsTheSystemClock()
    {
        QFETCH(QByteArray, zone);
        qputenv("TZ", zone);
        tzset();
        const WMailLocalClock clock;
        const QList<QDateTime> instants{
            QDateTime(QDate(2021, 3, 28), QTime(0, 59, 59), Qt::UTC), // Warsaw's change to summer time
            QDateTime(QDate(2021, 3, 28), QTime(1, 0, 0), Qt::UTC),
            QDateTime(QDate(2021, 11, 7), QTime(5, 59, 59), Qt::UTC), // New York's change back
            QDateTime(QDate(2021, 11, 7), QTime(6, 0, 0), Qt::UTC),
            QDateTime(QDate(2021, 4, 3), QTime(14, 59, 0), Qt::UTC), // Lord Howe's change back
            QDateTime(QDate(2021, 4, 3), QTime(15, 0, 0), Qt::UTC),
            QDateTime(QDate(1999, 12, 31), QTime(23, 30), Qt::UTC),
            QDateTime::currentDateTimeUtc(),
        };
        for (const QDateTime &instant : instants) {
            const QDateTime expected = instant.toLocalTime();
            QCOMPARE(clock.text(instant), expected.toString(Qt::TextDate));
            QCOMPARE(clock.toLocal(instant).date(), expected.date());
            QCOMPARE(clock.toLocal(instant).time(), expected.time());
            QCOMPARE(clock.toLocal(instant), instant);
        }
        QCOMPARE(clock.text(QDateTime()), QString());
    }

private:
    QByteArray m_zone;
};

WIVORA_TEST_GUILESS_MAIN(tst_WMailLocalClock)
#include "tst_WMailLocalClock.moc"
