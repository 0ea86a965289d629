#include "QtTestSuite.h"
#include "UdpLinkSealing.h"
#include "WCryptography.h"

#include <QtTest>

// Payloads between the two ends of one UDP link, as the datagrams carry them.
class tst_UdpLinkSealing : public QObject
{
    Q_OBJECT
private slots:
    void payloadsOpenOnlyInOrderAndIntact_data();
    void payloadsOpenOnlyInOrderAndIntact();
};

void tst_UdpLinkSealing::payloadsOpenOnlyInOrderAndIntact_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<bool>("opens");

    QTest::newRow("sound, in order") << "none" << true;
    QTest::newRow("replayed") << "replay" << false;
    QTest::newRow("reordered") << "reorder" << false;
    QTest::newRow("damaged") << "flip" << false;
    QTest::newRow("truncated") << "truncate" << false;
    QTest::newRow("reflected to its sender") << "reflect" << false;
    // The same hello answered with other random bytes: another session.
    QTest::newRow("from a session with other acceptor bytes") << "other session" << false;
}

void tst_UdpLinkSealing::payloadsOpenOnlyInOrderAndIntact()
{
    QFETCH(QString, attack);
    QFETCH(bool, opens);

    const QByteArray secret = WCryptography::GenerateRandom(UdpLinkSealing::SecretSize);
    const QByteArray random = WCryptography::GenerateRandom(UdpLinkSealing::AcceptorRandomSize);
    UdpLinkSealing initiator(secret, random, true);
    UdpLinkSealing acceptor(secret, random, false);
    UdpLinkSealing otherSession(secret, WCryptography::GenerateRandom(UdpLinkSealing::AcceptorRandomSize), true);
    QVERIFY(initiator.isValid() && acceptor.isValid() && otherSession.isValid());
    QVERIFY(!UdpLinkSealing(secret, random.left(8), true).isValid());

    const QByteArray first = initiator.seal("first");
    const QByteArray second = initiator.seal("second");
    QByteArray plain;
    if (attack == QLatin1String("none")) {
        QVERIFY(acceptor.open(first.constData(), first.size(), &plain));
        QCOMPARE(plain, QByteArray("first"));
    }
    QByteArray attacked = second;
    UdpLinkSealing *receiver = &acceptor;
    if (attack == QLatin1String("replay")) {
        QVERIFY(acceptor.open(first.constData(), first.size(), &plain));
        attacked = first;
    } else if (attack == QLatin1String("flip")) {
        QVERIFY(acceptor.open(first.constData(), first.size(), &plain));
        attacked[attacked.size() - 3] = char(attacked.at(attacked.size() - 3) ^ 0x01);
    } else if (attack == QLatin1String("truncate")) {
        QVERIFY(acceptor.open(first.constData(), first.size(), &plain));
        attacked.chop(1);
    } else if (attack == QLatin1String("reflect")) {
        attacked = first;
        receiver = &initiator;
    } else if (attack == QLatin1String("other session")) {
        attacked = otherSession.seal("first");
    } else if (attack == QLatin1String("none")) {
        // second in its place
    }
    // "reorder": the second arrives first.
    QCOMPARE(receiver->open(attacked.constData(), attacked.size(), &plain), opens);
    if (opens)
        QCOMPARE(plain, QByteArray("second"));
}

WIVORA_TEST_MAIN(tst_UdpLinkSealing)
#include "tst_UdpLinkSealing.moc"
