// Which tunnels a client joins: strangers get few, contacts many, and a full
// total makes the peer holding clearly most give one up.

#include "QtTestSuite.h"
#include "PeerLinkQuota.h"

#include <QtTest>

using Held = QHash<QString, int>;
Q_DECLARE_METATYPE(Held)

class tst_PeerLinkQuota : public QObject
{
    Q_OBJECT

private slots:
    void admit_data();
    void admit();
};

void tst_PeerLinkQuota::admit_data()
{
    QTest::addColumn<Held>("held");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("contact");
    QTest::addColumn<bool>("admitted");
    QTest::addColumn<QString>("dropOneOf");

    // Small figures: 4 per contact, 1 per stranger, 6 in all.
    QTest::newRow("first link of a stranger") << Held{} << "mallory" << false << true << "";
    QTest::newRow("stranger at its cap") << Held{{"mallory", 1}} << "mallory" << false << false << "";
    QTest::newRow("contact below its cap") << Held{{"bob", 3}} << "bob" << true << true << "";
    QTest::newRow("contact at its cap") << Held{{"bob", 4}} << "bob" << true << false << "";
    QTest::newRow("total full: the largest holder gives one up")
        << Held{{"bob", 2}, {"dave", 4}} << "carol" << true << true << "dave";
    QTest::newRow("total full, requester holds nearly as many: refused")
        << Held{{"bob", 3}, {"dave", 2}, {"carol", 1}} << "dave" << true << false << "";
    QTest::newRow("total full, requester the largest: refused")
        << Held{{"bob", 3}, {"dave", 3}} << "bob" << true << false << "";
    QTest::newRow("no name") << Held{} << "" << true << false << "";
}

void tst_PeerLinkQuota::admit()
{
    QFETCH(Held, held);
    QFETCH(QString, peer);
    QFETCH(bool, contact);
    QFETCH(bool, admitted);
    QFETCH(QString, dropOneOf);

    PeerLinkQuota::Limits limits;
    limits.perContact = 4;
    limits.perStranger = 1;
    limits.total = 6;
    const PeerLinkQuota::Decision decision = PeerLinkQuota(limits).admit(held, peer, contact);
    QCOMPARE(decision.admitted, admitted);
    QCOMPARE(decision.dropOneOf, dropOneOf);
}

WIVORA_TEST_GUILESS_MAIN(tst_PeerLinkQuota)
#include "tst_PeerLinkQuota.moc"
