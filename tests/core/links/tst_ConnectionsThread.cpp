// The link layer between two clients in one process, on a real wivora-server:
// links made on demand over every road, records routed with the receiving
// link's keys, replies on the link of their request, and sends that cross.

#include "QtTestSuite.h"
#include "IWConnection.h"
#include "LinkTestClient.h"
#include "WTcpConnection.h"
#include "WUdpConnection.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QTcpSocket>
#include <QtConcurrent>
#include <QtTest>


namespace {

const QString Sender = QStringLiteral("Wivora::sender");
const QString Connection = QStringLiteral("Wivora::connection");
const QString ConnectionId = QStringLiteral("Wivora::connectionID");

KvrConfig echoRecord(const QString &text)
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), QStringLiteral("echo:::request"));
    record.sv(QStringLiteral("text"), text);
    record.SetValue(QStringLiteral("binary"), true);
    return record;
}

// The answer a plug-in gives to a request that came on a link.
KvrConfig callbackTo(const KvrConfig &request)
{
    KvrConfig reply;
    reply.SetValue(QStringLiteral("ID"), request.GetValue(QStringLiteral("ID")));
    reply.sv(QStringLiteral("command"), request.gv(QStringLiteral("command")) + QStringLiteral(":callback"));
    reply.sv(QStringLiteral("text"), request.gv(QStringLiteral("text")));
    return reply;
}

} // namespace

class tst_ConnectionsThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void directLinkAuthenticatesBothEnds();
    void roads_data();
    void roads();
    void directToOfflineUserFails();
    void recordWithoutLinkMakesOneAndTheNextReusesIt();
    void namedLinkThatClosedFallsBackToAnother_data();
    void namedLinkThatClosedFallsBackToAnother();
    void crossingSendsBothArrive();
    void keepAliveClosesOnlySilentPeersLinks_data();
    void keepAliveClosesOnlySilentPeersLinks();
    void acceptedSocketWithNobodyLoggedInIsClosed();

private:
    // A reply sent by `from` on the link the request came on, as a plug-in does.
    void answer(LinkTestClient &from, const KvrConfig &request)
    {
        from.send(callbackTo(request), request.gv(Sender), request.gv(Connection) != QLatin1String("0"),
                  request.gv(ConnectionId));
    }

    ClientSessionFixture m_fixture;
    std::unique_ptr<LinkTestClient> m_alice;
    std::unique_ptr<LinkTestClient> m_bob;
};

void tst_ConnectionsThread::initTestCase()
{
    QVERIFY2(m_fixture.start({QStringLiteral("alice"), QStringLiteral("bob"), QStringLiteral("carol")}),
             qPrintable(m_fixture.server.errorText()));
}

void tst_ConnectionsThread::init()
{
    m_alice.reset(new LinkTestClient);
    m_bob.reset(new LinkTestClient);
}

void tst_ConnectionsThread::cleanup()
{
    m_alice.reset();
    m_bob.reset();
}

void tst_ConnectionsThread::directLinkAuthenticatesBothEnds()
{
    QVERIFY(m_bob->start(m_fixture, QStringLiteral("bob")));
    QVERIFY(m_alice->start(m_fixture, QStringLiteral("alice")));

    const QString id = m_alice->connections->getOrCreateConnection(QStringLiteral("bob"), false, false);
    QVERIFY(!id.isEmpty());
    const QSharedPointer<IWConnection> link = m_alice->connections->connection(id);
    QVERIFY(link);
    QVERIFY(link->isAuthenticated());
    QCOMPARE(link->getConnectionType(), 1);
    QCOMPARE(link->getUser(), QStringLiteral("bob"));
    QVERIFY(m_alice->connections->isConnectionActive(id));
    QVERIFY(m_alice->connections->hasUserConnection(QStringLiteral("bob"), false));
    QVERIFY(!m_alice->connections->hasUserConnection(QStringLiteral("bob"), true));
    // Bob lists his end once the socket is taken over.
    QTRY_VERIFY(m_bob->connections->hasUserConnection(QStringLiteral("alice"), false));

    // Routing keys are the receiving link's, whatever the sender wrote.
    KvrConfig record = echoRecord(QStringLiteral("x"));
    record.sv(Sender, QStringLiteral("carol"));
    record.sv(Connection, QStringLiteral("1"));
    record.sv(ConnectionId, id);
    record.sv(QStringLiteral("Wivora::extra"), QStringLiteral("forged"));
    const KvrConfig arrived = m_bob->received(m_alice->send(record, QStringLiteral("bob")));
    QCOMPARE(arrived.gv(QStringLiteral("text")), QStringLiteral("x"));
    QCOMPARE(arrived.gv(Sender), QStringLiteral("alice"));
    QCOMPARE(arrived.gv(Connection), QStringLiteral("0"));
    QVERIFY(!arrived.CheckKeyExist(QStringLiteral("Wivora::extra")));
    const QSharedPointer<IWConnection> bobsEnd = m_bob->connections->connection(arrived.gv(ConnectionId));
    QVERIFY(bobsEnd);
    QCOMPARE(bobsEnd->getUser(), QStringLiteral("alice"));
    QVERIFY(bobsEnd->isAuthenticated());

    // The reply comes back on the very link, not on a new one.
    answer(*m_bob, arrived);
    const KvrConfig reply = m_alice->received(arrived.GetID());
    QCOMPARE(reply.gv(QStringLiteral("command")), QStringLiteral("echo:::request:callback"));
    QCOMPARE(reply.gv(Sender), QStringLiteral("bob"));
    QCOMPARE(reply.gv(ConnectionId), id);
}

void tst_ConnectionsThread::roads_data()
{
    QTest::addColumn<bool>("bobListens");
    QTest::addColumn<bool>("udpBlocked");
    QTest::addColumn<bool>("serverConnection");
    QTest::addColumn<QString>("road");

    QTest::newRow("direct: tcp") << true << false << false << "tcp";
    QTest::newRow("direct, port closed: udp") << false << false << false << "udp";
    QTest::newRow("direct, port closed, udp blocked: tunnel") << false << true << false << "tunnel";
    QTest::newRow("server mode") << true << false << true << "server";
}

void tst_ConnectionsThread::roads()
{
    QFETCH(bool, bobListens);
    QFETCH(bool, udpBlocked);
    QFETCH(bool, serverConnection);
    QFETCH(QString, road);

    QVERIFY(m_bob->start(m_fixture, QStringLiteral("bob"), bobListens));
    QVERIFY(m_alice->start(m_fixture, QStringLiteral("alice")));
    if (udpBlocked)
        m_alice->blockUdp();

    const QString id = m_alice->connections->getOrCreateConnection(QStringLiteral("bob"), serverConnection, false);
    QVERIFY(!id.isEmpty());
    const QSharedPointer<IWConnection> link = m_alice->connections->connection(id);
    QVERIFY(link && link->isAuthenticated());
    QCOMPARE(link->getUser(), QStringLiteral("bob"));
    QCOMPARE(link->getConnectionType(), serverConnection ? 0 : 1);
    auto *tcp = dynamic_cast<WTcpConnection *>(link.data());
    if (road == QLatin1String("udp")) {
        QVERIFY(dynamic_cast<WUdpConnection *>(link.data()));
    } else {
        QVERIFY(tcp);
        QCOMPARE(tcp->peerPort(), road == QLatin1String("tcp") ? m_bob->port : m_fixture.server.tcpPort());
    }

    // Bob accepted the link as alice's and answers on it.
    const KvrConfig arrived = m_bob->received(m_alice->send(echoRecord(road), QStringLiteral("bob"), serverConnection));
    QCOMPARE(arrived.gv(QStringLiteral("text")), road);
    QCOMPARE(arrived.gv(Sender), QStringLiteral("alice"));
    // Both ends know the link for what the asker chose.
    QCOMPARE(arrived.gv(Connection), serverConnection ? QStringLiteral("1") : QStringLiteral("0"));
    answer(*m_bob, arrived);
    const KvrConfig reply = m_alice->received(arrived.GetID());
    QCOMPARE(reply.gv(Sender), QStringLiteral("bob"));
    QCOMPARE(reply.gv(Connection), serverConnection ? QStringLiteral("1") : QStringLiteral("0"));
    QCOMPARE(reply.gv(ConnectionId), id);
}

void tst_ConnectionsThread::directToOfflineUserFails()
{
    QVERIFY(m_alice->start(m_fixture, QStringLiteral("alice")));
    QVERIFY(m_alice->connections->getOrCreateConnection(QStringLiteral("carol"), false, false).isEmpty());
    QVERIFY(m_alice->connections->getOrCreateConnection(QStringLiteral("nobody"), false, true).isEmpty());
    QVERIFY(!m_alice->connections->hasUserConnection(QStringLiteral("carol"), false));
}

void tst_ConnectionsThread::recordWithoutLinkMakesOneAndTheNextReusesIt()
{
    QVERIFY(m_bob->start(m_fixture, QStringLiteral("bob")));
    QVERIFY(m_alice->start(m_fixture, QStringLiteral("alice")));
    QVERIFY(!m_alice->connections->hasUserConnection(QStringLiteral("bob"), false));

    const KvrConfig first = m_bob->received(m_alice->send(echoRecord(QStringLiteral("1")), QStringLiteral("bob")));
    QCOMPARE(first.gv(QStringLiteral("text")), QStringLiteral("1"));
    QVERIFY(m_alice->connections->hasUserConnection(QStringLiteral("bob"), false));
    const KvrConfig second = m_bob->received(m_alice->send(echoRecord(QStringLiteral("2")), QStringLiteral("Bob")));
    QCOMPARE(second.gv(QStringLiteral("text")), QStringLiteral("2"));
    QCOMPARE(second.gv(ConnectionId), first.gv(ConnectionId));
    // Nothing is left behind in the output list.
    QVERIFY(m_alice->commands.takeOutputCommand(first.GetID()).isEmpty());
}

void tst_ConnectionsThread::namedLinkThatClosedFallsBackToAnother_data()
{
    QTest::addColumn<bool>("serverConnection");

    QTest::newRow("direct link") << false;
    QTest::newRow("server-mode link") << true;
}

void tst_ConnectionsThread::namedLinkThatClosedFallsBackToAnother()
{
    QFETCH(bool, serverConnection);
    QVERIFY(m_bob->start(m_fixture, QStringLiteral("bob")));
    QVERIFY(m_alice->start(m_fixture, QStringLiteral("alice")));
    const KvrConfig request = m_alice->received(
        m_bob->send(echoRecord(QStringLiteral("ask")), QStringLiteral("alice"), serverConnection));
    const QString requestLink = request.gv(ConnectionId);
    QVERIFY(!requestLink.isEmpty());

    // The link the request came on is gone by the time the reply leaves: the
    // reply takes another link to the same user, of the kind the asker chose,
    // instead of vanishing.
    m_alice->connections->closeConnection(requestLink);
    QVERIFY(!m_alice->connections->isConnectionActive(requestLink));
    answer(*m_alice, request);
    const KvrConfig reply = m_bob->received(request.GetID());
    QCOMPARE(reply.gv(QStringLiteral("command")), QStringLiteral("echo:::request:callback"));
    QCOMPARE(reply.gv(Sender), QStringLiteral("alice"));
    QCOMPARE(reply.gv(Connection), serverConnection ? QStringLiteral("1") : QStringLiteral("0"));
}

void tst_ConnectionsThread::keepAliveClosesOnlySilentPeersLinks_data()
{
    QTest::addColumn<bool>("peerAnswers");

    QTest::newRow("peer answers") << true;
    QTest::newRow("peer silent") << false;
}

void tst_ConnectionsThread::keepAliveClosesOnlySilentPeersLinks()
{
    QFETCH(bool, peerAnswers);
    QVERIFY(m_bob->start(m_fixture, QStringLiteral("bob")));
    QVERIFY(m_alice->start(m_fixture, QStringLiteral("alice")));
    const QString id = m_alice->connections->getOrCreateConnection(QStringLiteral("bob"), false, false);
    QVERIFY(!id.isEmpty());

    // Bob's links are served on his link manager's thread: held there, bob
    // answers nothing, as a suspended client would.
    QSemaphore held;
    auto release = qScopeGuard([&held] { held.release(); });
    if (!peerAnswers)
        QMetaObject::invokeMethod(m_bob->connections.get(), [&held] { held.acquire(); }, Qt::QueuedConnection);
    m_alice->connections->setPeerAnswerTimeoutMs(1000);
    KvrConfig keepAlive;
    keepAlive.sv(QStringLiteral("command"), QStringLiteral("ping"));
    m_alice->connections->checkPeerLinks(keepAlive, [] { return false; });

    QCOMPARE(m_alice->connections->isConnectionActive(id), peerAnswers);
    release.dismiss();
    held.release();
    // The next record to bob makes a fresh link.
    const QString next = m_alice->connections->getOrCreateConnection(QStringLiteral("bob"), false, false);
    QVERIFY(!next.isEmpty());
    QCOMPARE(next == id, peerAnswers);
}

void tst_ConnectionsThread::crossingSendsBothArrive()
{
    QVERIFY(m_bob->start(m_fixture, QStringLiteral("bob")));
    QVERIFY(m_alice->start(m_fixture, QStringLiteral("alice")));

    // Both clients make a link to each other at the same moment.
    const QString toBob = m_alice->send(echoRecord(QStringLiteral("to bob")), QStringLiteral("bob"));
    const QString toAlice = m_bob->send(echoRecord(QStringLiteral("to alice")), QStringLiteral("alice"));
    QFuture<KvrConfig> atBob = QtConcurrent::run([&] { return m_bob->received(toBob); });
    const KvrConfig atAlice = m_alice->received(toAlice);
    QCOMPARE(atAlice.gv(QStringLiteral("text")), QStringLiteral("to alice"));
    QCOMPARE(atAlice.gv(Sender), QStringLiteral("bob"));
    QCOMPARE(atBob.result().gv(QStringLiteral("text")), QStringLiteral("to bob"));
    QCOMPARE(atBob.result().gv(Sender), QStringLiteral("alice"));
}

void tst_ConnectionsThread::acceptedSocketWithNobodyLoggedInIsClosed()
{
    SessionState loggedOut;
    IOCommandsTower commands;
    ConnectionsThread connections(&commands, &loggedOut);
    SessionState listening;
    listening.account()->setUserName(QStringLiteral("bob"));
    const quint16 port = LinkTestClient::freePort();
    listening.account()->settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(port));
    WTcpServer listener(&listening);
    QVERIFY(listener.startListening());
    QSignalSpy arrived(&listener, &WTcpServer::signalNewConnectionArrived);
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(arrived.wait(10000));

    // Nobody to answer as: the descriptor is closed, not leaked.
    connections.slotTcpConnectionArrived(arrived.first().first().toInt());
    QTRY_COMPARE(peer.state(), QAbstractSocket::UnconnectedState);
}

WIVORA_TEST_GUILESS_MAIN(tst_ConnectionsThread)
#include "tst_ConnectionsThread.moc"
