// Records between the plug-ins of two client processes: a request and its
// reply over a direct link and through the server, on a link the asker
// chose or any link; two clients sending to each other at the same moment
// before any link exists; a record relayed through the server; and a
// plug-in's own request, made through an operation a test invokes; plug-ins
// that block while handling a record hold up no other record.

#include "QtTestSuite.h"
#include "E2eFixture.h"

#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kSender = QStringLiteral("Wivora::sender");
const QString kConnection = QStringLiteral("Wivora::connection");
const QString kConnectionId = QStringLiteral("Wivora::connectionID");
const QString kPayload = QStringLiteral("payload");

} // namespace

class tst_Roads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requestAndReply_data();
    void requestAndReply();
    void crossingSendsBeforeAnyLink();
    void relayedRecord();
    void pluginOperation_data();
    void pluginOperation();
    void blockedHandlersDelayNoOtherRecord();

private:
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

void tst_Roads::initTestCase()
{
    QVERIFY2(m_fixture.startService({kAlice, kBob, QStringLiteral("carol"), QStringLiteral("dave")},
                                    {{kAlice, kBob}, {QStringLiteral("carol"), QStringLiteral("dave")}}),
             qPrintable(m_fixture.server.errorText()));
    m_alice = m_fixture.client(kAlice);
    m_bob = m_fixture.client(kBob);
    QVERIFY(m_alice && m_bob);
    QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
}

void tst_Roads::requestAndReply_data()
{
    QTest::addColumn<bool>("serverConnection");
    QTest::addColumn<bool>("namedLink");
    // "Wivora::connection" of the reply at the asker: "1" on a server-mode link.
    QTest::addColumn<QString>("arrivedOn");

    QTest::newRow("direct, any link") << false << false << QStringLiteral("0");
    QTest::newRow("direct, on a link the asker opened") << false << true << QStringLiteral("0");
    QTest::newRow("through the server, any link") << true << false << QStringLiteral("1");
    QTest::newRow("through the server, on a link the asker opened") << true << true << QStringLiteral("1");
}

void tst_Roads::requestAndReply()
{
    QFETCH(bool, serverConnection);
    QFETCH(bool, namedLink);
    QFETCH(QString, arrivedOn);

    QString connectionId;
    if (namedLink) {
        connectionId = m_alice->probe().open(kBob, serverConnection);
        QVERIFY2(!connectionId.isEmpty(), qPrintable(m_alice->diagnostics()));
    }
    const KvrConfig ping = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 512);
    const KvrConfig reply = m_alice->probe().request(kBob, ping, serverConnection, connectionId);

    QVERIFY2(!reply.isEmpty(), qPrintable(m_alice->diagnostics()));
    QCOMPARE(reply.gv(QStringLiteral("command")), QStringLiteral("echo:::ping:callback"));
    QCOMPARE(reply.GetID(), ping.GetID());
    QCOMPARE(reply.GetValue(kPayload), ping.GetValue(kPayload));
    QCOMPARE(reply.gv(kSender), kBob);
    QCOMPARE(reply.gv(kConnection), arrivedOn);
    // The reply left bob on the link that brought the request.
    if (namedLink)
        QCOMPARE(reply.gv(kConnectionId), connectionId);
    // Bob's plug-ins were offered the request once.
    QCOMPARE(m_bob->probe().commandsSeen(ping.GetID()), 1);
}

void tst_Roads::crossingSendsBeforeAnyLink()
{
    // Two clients that never spoke: each makes its link to the other while
    // the other does the same.
    const QString carol = QStringLiteral("carol");
    const QString dave = QStringLiteral("dave");
    auto carolClient = m_fixture.client(carol);
    auto daveClient = m_fixture.client(dave);
    QVERIFY(carolClient && daveClient);
    QVERIFY2(carolClient->start(), qPrintable(carolClient->diagnostics()));
    QVERIFY2(daveClient->start(), qPrintable(daveClient->diagnostics()));

    KvrConfig toDave = E2eFixture::newRecord(QStringLiteral("probe:::hello"), 256);
    KvrConfig toCarol = E2eFixture::newRecord(QStringLiteral("probe:::hello"), 256);
    // A peer cannot choose who it claims to be.
    toDave.sv(kSender, QStringLiteral("mallory"));
    toCarol.sv(kSender, QStringLiteral("mallory"));
    QVERIFY(carolClient->probe().send(dave, toDave));
    QVERIFY(daveClient->probe().send(carol, toCarol));

    const KvrConfig atDave = daveClient->probe().waitFor(toDave.GetID());
    const KvrConfig atCarol = carolClient->probe().waitFor(toCarol.GetID());
    QVERIFY2(!atDave.isEmpty(), qPrintable(carolClient->diagnostics()));
    QVERIFY2(!atCarol.isEmpty(), qPrintable(daveClient->diagnostics()));
    QCOMPARE(atDave.GetValue(kPayload), toDave.GetValue(kPayload));
    QCOMPARE(atCarol.GetValue(kPayload), toCarol.GetValue(kPayload));
    QCOMPARE(atDave.gv(kSender), carol);
    QCOMPARE(atCarol.gv(kSender), dave);

    QVERIFY2(carolClient->stop(), qPrintable(carolClient->diagnostics()));
    QVERIFY2(daveClient->stop(), qPrintable(daveClient->diagnostics()));
}

void tst_Roads::relayedRecord()
{
    KvrConfig record = E2eFixture::newRecord(QStringLiteral("probe:::relayed"), 4096);
    record.sv(kSender, QStringLiteral("mallory"));
    QVERIFY(m_alice->probe().queue(kBob, record));

    const KvrConfig arrived = m_bob->probe().waitFor(record.GetID());
    QVERIFY2(!arrived.isEmpty(), qPrintable(m_bob->diagnostics()));
    QCOMPARE(arrived.gv(QStringLiteral("command")), QStringLiteral("probe:::relayed"));
    QCOMPARE(arrived.GetValue(kPayload), record.GetValue(kPayload));
    // The server names the sender; the name alice wrote into the record did
    // not survive the relay. No link carried it, so none is named.
    QCOMPARE(arrived.gv(kSender), kAlice);
    QVERIFY(!arrived.CheckKeyExist(kConnection));
    QVERIFY(!arrived.CheckKeyExist(kConnectionId));
}

void tst_Roads::pluginOperation_data()
{
    QTest::addColumn<QString>("plugin");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("invoked");

    // The echo plug-in's request and its wait for the reply: the probe,
    // loaded beside it, leaves the reply to it.
    QTest::newRow("operation of a loaded plug-in") << QStringLiteral("echo") << QStringLiteral("ping") << true;
    QTest::newRow("no such operation") << QStringLiteral("echo") << QStringLiteral("shutdown") << false;
    QTest::newRow("no such plug-in") << QStringLiteral("wftp") << QStringLiteral("ping") << false;
}

void tst_Roads::pluginOperation()
{
    QFETCH(QString, plugin);
    QFETCH(QString, operation);
    QFETCH(bool, invoked);

    KvrConfig argument;
    argument.sv(QStringLiteral("user"), kBob);
    argument.SetValue(kPayload, E2eFixture::randomBytes(300));
    bool wasInvoked = false;
    const KvrConfig reply = m_alice->probe().invoke(plugin, operation, argument, &wasInvoked);

    QCOMPARE(wasInvoked, invoked);
    if (!invoked) {
        QVERIFY(reply.isEmpty());
        return;
    }
    QVERIFY2(!reply.isEmpty(), qPrintable(m_alice->diagnostics()));
    QCOMPARE(reply.gv(QStringLiteral("command")), QStringLiteral("echo:::ping:callback"));
    QCOMPARE(reply.GetValue(kPayload), argument.GetValue(kPayload));
    QCOMPARE(reply.gv(kSender), kBob);
}

WIVORA_TEST_GUILESS_MAIN(tst_Roads)
#include "tst_Roads.moc"

void tst_Roads::blockedHandlersDelayNoOtherRecord()
{
    ProbeClient &alice = m_alice->probe();
    // More blocked handlers than a pool of a fixed size per core would have.
    QList<KvrConfig> holds;
    for (int i = 0; i < 4 * qMax(QThread::idealThreadCount(), 4); ++i) {
        holds << E2eFixture::newRecord(QStringLiteral("echo:::hold"));
        QVERIFY(alice.send(kBob, holds.last()));
    }
    // Bob's handler waits for a reply from alice on the link it came on.
    const KvrConfig askBack = E2eFixture::newRecord(QStringLiteral("echo:::askback"));
    QVERIFY(alice.send(kBob, askBack));

    // Well before the holds give up on their own (the echo plug-in's
    // HoldLimitMs, 30 s).
    const int roadWaitMs = 15000;
    const KvrConfig ping = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 64);
    QVERIFY2(!alice.request(kBob, ping, false, QString(), roadWaitMs).isEmpty(), qPrintable(m_bob->diagnostics()));
    const KvrConfig askedBack = alice.waitFor(askBack.GetID(), roadWaitMs);
    QVERIFY2(!askedBack.isEmpty(), qPrintable(m_bob->diagnostics()));
    QCOMPARE(askedBack.gv(QStringLiteral("answered")), QStringLiteral("1"));
    // The holds were still blocking meanwhile.
    QVERIFY(alice.waitFor(holds.first().GetID(), 0).isEmpty());

    const KvrConfig release = E2eFixture::newRecord(QStringLiteral("echo:::release"));
    QVERIFY(alice.send(kBob, release));
    QVERIFY(!alice.waitFor(release.GetID(), roadWaitMs).isEmpty());
    for (const KvrConfig &hold : qAsConst(holds)) {
        const KvrConfig released = alice.waitFor(hold.GetID(), roadWaitMs);
        QVERIFY2(!released.isEmpty(), qPrintable(m_bob->diagnostics()));
        QCOMPARE(released.gv(QStringLiteral("released")), QStringLiteral("1"));
    }
}
