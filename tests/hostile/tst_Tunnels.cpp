// Links through the server against a client: a stranger, or a contact,
// asks for hundreds of tunnels, or a stranger floods the UDP rendezvous with
// sessions naming the client and never completes them. The server refuses
// what is over its caps with a reason, the client joins no more than its own
// caps, its descriptors stay bounded, and another contact's tunnel still
// carries records meanwhile. Against the real wivora-server and a real
// wivora-headless client.

#include "QtTestSuite.h"
#include "Attacker.h"
#include "E2eFixture.h"
#include "MemoryBounds.h"

#include <ServerProtocol.h>
#include <UdpRendezvousDatagram.h>

#include <QDeadlineTimer>
#include <QRandomGenerator>
#include <QSet>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kDave = QStringLiteral("dave");
const QString kMallory = QStringLiteral("mallory");
const QString kCommand = QStringLiteral("command");

// What the client joins: ServerProtocol::MaxTunnelsFromStranger for a
// stranger, PeerLinkQuota's share of a contact; the server keeps 128 per
// initiator.
constexpr int kStrangerCap = ServerProtocol::MaxTunnelsFromStranger;
constexpr int kContactCap = 64;
constexpr int kServerPerInitiator = 128;
// Each tunnel holds a socket, and the worker that joined it an event
// descriptor until the worker retires; a few more come and go meanwhile.
constexpr int kDescriptorsPerTunnel = 2;
constexpr int kDescriptorSlack = 16;
// A join takes the client a TLS handshake with the server.
constexpr int kJoinWaitMs = 20000;
// UDP sessions a stranger opens at once: as many joins as the rendezvous
// takes from one address in a burst.
constexpr int kUdpSessions = 20;

// How many of the legs answer a keep-alive: those whose peer joined. Waits
// until `expected` answered (or the wait ends), then a little longer for any
// beyond it.
int joinedLegs(const QList<QSharedPointer<TcpConnection>> &legs, int expected)
{
    QList<QPair<QSharedPointer<TcpConnection>, QString>> asked;
    for (const auto &leg : legs) {
        KvrConfig ping;
        const QString id = ping.SetID();
        ping.sv(kCommand, QString::fromLatin1(ServerProtocol::Ping));
        if (leg->pushCommand(ping))
            asked.append(qMakePair(leg, id));
    }
    int answered = 0;
    const auto collect = [&] {
        for (int i = asked.size() - 1; i >= 0; --i) {
            if (!asked.at(i).first->getCommand(asked.at(i).second, 0).isEmpty()) {
                ++answered;
                asked.removeAt(i);
            }
        }
    };
    const QDeadlineTimer deadline(kJoinWaitMs);
    while (answered < expected && !deadline.hasExpired()) {
        QTest::qWait(50);
        collect();
    }
    QTest::qWait(1000);
    collect();
    return answered;
}

} // namespace

class tst_Tunnels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tunnelFloodStaysWithinCaps_data();
    void tunnelFloodStaysWithinCaps();
    void udpSessionFloodStaysWithinStrangerCap();

private:
    // A contact's tunnel carries a request to alice's plug-ins and the answer back.
    void contactTunnelCarriesRecords();

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    QHash<QString, Attacker> m_users; // each logged in on a main link of its own
};

void tst_Tunnels::initTestCase()
{
    QVERIFY2(m_fixture.startService({kAlice, kBob, kDave, kMallory}, {{kAlice, kBob}, {kAlice, kDave}}),
             qPrintable(m_fixture.server.errorText()));
    m_alice = m_fixture.client(kAlice);
    QVERIFY(m_alice);
    QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
    for (const QString &user : {kBob, kDave, kMallory})
        QVERIFY(m_users[user].logIn(m_fixture, user));
}

void tst_Tunnels::tunnelFloodStaysWithinCaps_data()
{
    QTest::addColumn<QString>("initiator");
    QTest::addColumn<int>("serverCap"); // the most the server announces to alice
    QTest::addColumn<int>("clientCap"); // the most alice joins

    QTest::newRow("stranger") << kMallory << kStrangerCap << kStrangerCap;
    QTest::newRow("contact") << kDave << kServerPerInitiator << kContactCap;
}

void tst_Tunnels::tunnelFloodStaysWithinCaps()
{
    QFETCH(QString, initiator);
    QFETCH(int, serverCap);
    QFETCH(int, clientCap);
    constexpr int requests = 300;

    const qint64 pid = m_alice->processId();
    const int before = openDescriptors(pid);
    QVERIFY(before > 0);

    QList<QSharedPointer<TcpConnection>> legs;
    QString refusal;
    for (int n = 0; n < requests; ++n) {
        QString reason;
        if (const QSharedPointer<TcpConnection> leg = m_users[initiator].tunnelTo(kAlice, &reason))
            legs.append(leg);
        else if (refusal.isEmpty())
            refusal = reason;
    }
    QCOMPARE(legs.size(), serverCap);
    QVERIFY2(!refusal.isEmpty(), "a refusal says why");

    const int joined = joinedLegs(legs, qMin(serverCap, clientCap));
    QCOMPARE(joined, qMin(serverCap, clientCap));
    const int during = openDescriptors(pid);
    QVERIFY2(during - before <= kDescriptorsPerTunnel * clientCap + kDescriptorSlack,
             qPrintable(QStringLiteral("%1 descriptors before, %2 during").arg(before).arg(during)));

    contactTunnelCarriesRecords();
    if (QTest::currentTestFailed())
        return;

    // Closed legs close alice's side too.
    for (const auto &leg : qAsConst(legs))
        leg->disconnectFromHost();
    QTRY_VERIFY2_WITH_TIMEOUT(openDescriptors(pid) <= during - joined,
                              qPrintable(QStringLiteral("%1 descriptors left").arg(openDescriptors(pid))), 20000);
    QVERIFY(m_alice->isRunning());
}

// A logged-in stranger joins the rendezvous as initiator of many sessions
// naming alice, from its main link's address as the server demands, and never
// answers her. Each session alice takes up is paired, which the server tells
// the initiator; the rest she refuses before opening anything.
void tst_Tunnels::udpSessionFloodStaysWithinStrangerCap()
{
    QUdpSocket initiator;
    QVERIFY(initiator.bind(QHostAddress(QHostAddress::LocalHost)));
    const QString refusalLine = QStringLiteral("udp link from %1 refused").arg(kMallory);
    const int refusalsBefore = m_alice->log().count(refusalLine);
    const auto refusals = [&] { return m_alice->log().count(refusalLine) - refusalsBefore; };

    const quint32 firstSession = QRandomGenerator::global()->bounded(1u, 1u << 30);
    for (quint32 n = 0; n < quint32(kUdpSessions); ++n) {
        const QByteArray join = UdpRendezvousDatagram::join(firstSession + n, UdpRendezvousDatagram::Role::Initiator,
                                                            kMallory, kAlice)
                                    .encode();
        // The rendezvous shares the main server's port number.
        QCOMPARE(initiator.writeDatagram(join, QHostAddress::LocalHost, m_fixture.server.tcpPort()),
                 qint64(join.size()));
    }

    QSet<quint32> paired;
    int refusedByServer = 0;
    const auto collect = [&] {
        while (initiator.hasPendingDatagrams()) {
            QByteArray bytes(int(initiator.pendingDatagramSize()), Qt::Uninitialized);
            bytes.resize(int(initiator.readDatagram(bytes.data(), bytes.size())));
            UdpRendezvousDatagram answer;
            // Alice's own link traffic comes here too once a session is paired.
            if (!UdpRendezvousDatagram::decode(bytes.constData(), bytes.size(), &answer))
                continue;
            if (answer.type == UdpRendezvousDatagram::Type::Paired)
                paired.insert(answer.session);
            else if (answer.type == UdpRendezvousDatagram::Type::Refused)
                ++refusedByServer;
        }
    };
    const QDeadlineTimer deadline(kJoinWaitMs);
    while ((paired.size() < kStrangerCap || refusals() < kUdpSessions - kStrangerCap) && !deadline.hasExpired()) {
        QTest::qWait(50);
        collect();
    }
    // Alice still waits for the stranger on the sessions she took up.
    contactTunnelCarriesRecords();
    if (QTest::currentTestFailed())
        return;
    collect();

    QCOMPARE(refusedByServer, 0);
    QCOMPARE(paired.size(), kStrangerCap);
    QCOMPARE(refusals(), kUdpSessions - kStrangerCap);
    QVERIFY(m_alice->isRunning());
}

void tst_Tunnels::contactTunnelCarriesRecords()
{
    QString refusal;
    const QSharedPointer<TcpConnection> bobsLeg = m_users[kBob].tunnelTo(kAlice, &refusal);
    QVERIFY2(bobsLeg, qPrintable(refusal));
    const KvrConfig request = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 256);
    const KvrConfig answer = bobsLeg->sendCommand(request, ProbeClient::RoadTimeoutMs);
    QCOMPARE(answer.GetValue(QStringLiteral("payload")), request.GetValue(QStringLiteral("payload")));
    bobsLeg->disconnectFromHost();
}

WIVORA_TEST_GUILESS_MAIN(tst_Tunnels)
#include "tst_Tunnels.moc"
