#include "QtTestSuite.h"
#include <WUtilities.h>

#include <QtTest>

#include <climits>

class tst_WUtilities : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void parseIntOfOtherLengths_data();
    void parseIntOfOtherLengths();
};

void tst_WUtilities::roundTrip_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("zero") << 0 << QByteArray::fromHex("00000000");
    QTest::newRow("one") << 1 << QByteArray::fromHex("00000001");
    QTest::newRow("byte order") << 0x12345678 << QByteArray::fromHex("12345678");
    QTest::newRow("256") << 256 << QByteArray::fromHex("00000100");
    QTest::newRow("65536") << 65536 << QByteArray::fromHex("00010000");
    QTest::newRow("minus one") << -1 << QByteArray::fromHex("ffffffff");
    QTest::newRow("minus 256") << -256 << QByteArray::fromHex("ffffff00");
    QTest::newRow("largest") << INT_MAX << QByteArray::fromHex("7fffffff");
    QTest::newRow("smallest") << INT_MIN << QByteArray::fromHex("80000000");
}

void tst_WUtilities::roundTrip()
{
    QFETCH(int, value);
    QFETCH(QByteArray, bytes);

    QCOMPARE(WUtilities::intToByteArray(value), bytes);
    QCOMPARE(WUtilities::parseInt(bytes), value);
}

void tst_WUtilities::parseIntOfOtherLengths_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("value");

    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("three bytes") << QByteArray::fromHex("ffffff") << 0;
    QTest::newRow("first four of more") << QByteArray::fromHex("00000102ff") << 258;
}

void tst_WUtilities::parseIntOfOtherLengths()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, value);

    QCOMPARE(WUtilities::parseInt(bytes), value);
}

WIVORA_TEST_GUILESS_MAIN(tst_WUtilities)
#include "tst_WUtilities.moc"
