// Attacks on the links themselves, against the real wivora-server (its main
// port) and a real client (its listening port): recorded streams replayed,
// records replayed or reordered inside a session, malformed frames, floods
// of links that never log in, and slow links. Each row checks from outside
// that the attacked link ends and that the process's memory stays bounded.

#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "MemoryBounds.h"
#include "PeerProof.h"
#include "RawTlsPeer.h"
#include "RecordingProxy.h"

#include <MainServerCommands.h>
#include <PendingLinkBudget.h>
#include <ServerProtocol.h>

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <memory>
#include <vector>

namespace P = ServerProtocol;

namespace {

// Links that do not log in are dropped after this long (test-scaled).
constexpr int kTimeLimitMs = 3000;
constexpr qint64 kMemoryBoundKb = 50 * 1024;
constexpr int kFloodLinks = 40;
constexpr int kFloodFrameBytes = 15 * 1024 * 1024;
constexpr int kIdleLinks = 200;

} // namespace

class tst_Transport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void budgetAdmitsTheLargestLogin();
    void attacks_data();
    void attacks();

private:
    quint16 portOf(const QString &target) const
    {
        return target == QLatin1String("server") ? m_fixture.server.tcpPort() : m_alice->listeningPort();
    }
    qint64 pidOf(const QString &target) const
    {
        return target == QLatin1String("server") ? m_fixture.server.processId() : m_alice->processId();
    }
    QString keyOf(const QString &target) const
    {
        return target == QLatin1String("server") ? m_fixture.server.publicKey() : m_aliceKey;
    }

    // A legitimate session recorded on the way: a login at the server, or
    // bob proving his name at alice's listening port.
    QByteArray recordedLogin(const QString &target);

    void replayStream(const QString &target);
    void replayInSession(const QString &target, bool reorder);
    void malformed(const QString &target, const QString &damage);
    void flood(const QString &target);
    void idleLinks(const QString &target);
    void slowLink(const QString &target);

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    QString m_aliceKey;
    QString m_bobPrivateKey;
};

void tst_Transport::initTestCase()
{
    // Read by the server and the clients this test starts.
    qputenv("WIVORA_PENDING_LINK_TIME_LIMIT_MS", QByteArray::number(kTimeLimitMs));
    QVERIFY2(m_fixture.startService({QStringLiteral("alice"), QStringLiteral("bob"), QStringLiteral("carol")},
                                    {{QStringLiteral("alice"), QStringLiteral("bob")}}),
             qPrintable(m_fixture.server.errorText()));
    m_alice = m_fixture.client(QStringLiteral("alice"));
    QVERIFY2(m_alice, qPrintable(m_fixture.clientSetupError + QStringLiteral("\n") + m_fixture.server.output().right(4000)));
    QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
    m_aliceKey = E2eFixture::publicKeyOf(QStringLiteral("alice"));
    QVERIFY(!m_aliceKey.isEmpty());

    m_bobPrivateKey = privateKeyOf(m_fixture, QStringLiteral("bob"));
    QVERIFY(!m_bobPrivateKey.isEmpty());
}

void tst_Transport::cleanupTestCase()
{
    if (m_alice)
        QVERIFY2(m_alice->stop(), qPrintable(m_alice->diagnostics()));
    qunsetenv("WIVORA_PENDING_LINK_TIME_LIMIT_MS");
}

// What a link must be able to send before it logged in: the login with long
// names and passwords, and the proof of a name with a 16384-bit key.
void tst_Transport::budgetAdmitsTheLargestLogin()
{
    KvrConfig login = E2eFixture::newRecord(QLatin1String(P::Login));
    login.sv(QLatin1String(P::KeyUserName), QString(64, QLatin1Char('n')));
    login.SetValue(QLatin1String(P::KeyPassword), QByteArray(1024, 'p'));
    KvrConfig proof = E2eFixture::newRecord(QLatin1String(P::AuthenticateUser));
    proof.sv(QLatin1String(P::KeyUserName), QString(64, QLatin1Char('n')));
    proof.SetValue(QLatin1String(P::KeyAuthString), QByteArray(16384 / 8, 's'));
    proof.SetValue(QStringLiteral("challenge"), QByteArray(32, 'c'));
    const int largest = qMax(login.SerializeConfigBinary().size(), proof.SerializeConfigBinary().size());
    qInfo("largest login or proof: %d bytes; pending links may send frames of %d bytes", largest,
          PendingLinkBudget::Limits().frameLimit);
    QVERIFY(2 * largest <= PendingLinkBudget::Limits().frameLimit);
}

void tst_Transport::attacks_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("attack");

    for (const char *target : {"server", "client"}) {
        const auto row = [target](const char *name, const char *attack) {
            QTest::addRow("%s, %s", name, target == QByteArray("server") ? "main port" : "listening port")
                << QString::fromLatin1(target) << QString::fromLatin1(attack);
        };
        row("recorded login stream replayed on a new link", "replay stream");
        row("record replayed inside a live session", "replay record");
        row("records reordered inside a live session", "reorder records");
        row("zero frame length", "zero");
        row("frame length over the pre-login cap", "over pending cap");
        row("frame length over 16 MiB", "over cap");
        row("truncated frame", "truncated");
        row("garbage instead of the handshake", "garbage");
        row("40 links sending 15 MiB unfinished frames", "flood");
        row("200 idle links", "idle");
        row("a byte a second", "slow");
    }
}

void tst_Transport::attacks()
{
    QFETCH(QString, target);
    QFETCH(QString, attack);

    const qint64 pid = pidOf(target);
    QVERIFY(pid > 0);
    const qint64 before = residentBytes(pid) / 1024;
    QVERIFY(before > 0);

    if (attack == QLatin1String("replay stream"))
        replayStream(target);
    else if (attack == QLatin1String("replay record") || attack == QLatin1String("reorder records"))
        replayInSession(target, attack == QLatin1String("reorder records"));
    else if (attack == QLatin1String("flood"))
        flood(target);
    else if (attack == QLatin1String("idle"))
        idleLinks(target);
    else if (attack == QLatin1String("slow"))
        slowLink(target);
    else
        malformed(target, attack);
    if (QTest::currentTestFailed())
        return;

    const qint64 after = residentBytes(pid) / 1024;
    QVERIFY_MEMORY_BOUND(after - before < kMemoryBoundKb,
             qPrintable(QStringLiteral("resident memory grew from %1 kB to %2 kB").arg(before).arg(after)));
    // The process still serves: a new link completes its handshake.
    RawTlsPeer fresh;
    QVERIFY(fresh.connect(portOf(target)));
    QVERIFY(fresh.handshake());
    QVERIFY(m_alice->isRunning());
    QVERIFY(m_fixture.server.isRunning());
}

QByteArray tst_Transport::recordedLogin(const QString &target)
{
    RecordingProxy proxy(portOf(target));
    auto link = QSharedPointer<TcpConnection>::create();
    if (!link->connectToHost(QStringLiteral("127.0.0.1"), QString::number(proxy.port()), keyOf(target)))
        return QByteArray();
    bool accepted = false;
    if (target == QLatin1String("server")) {
        accepted = WServerCommands::Login(QStringLiteral("carol"), E2eFixture::passwordOf(QStringLiteral("carol")),
                                          link);
    } else {
        const QByteArray challenge = WServerCommands::GetAuthenticationString(link);
        const KvrConfig proof = nameProof(QStringLiteral("bob"), m_bobPrivateKey, challenge, QStringLiteral("alice"));
        accepted = !challenge.isEmpty() && link->sendCommand(proof, WServerCommands::TimeoutMs).checkResult();
    }
    link->disconnectFromHost();
    QTest::qWait(200); // the proxy passes the last bytes on
    return accepted ? proxy.recordedFromClients() : QByteArray();
}

void tst_Transport::replayStream(const QString &target)
{
    const QByteArray stream = recordedLogin(target);
    QVERIFY2(stream.size() > 100, "the legitimate session was refused");

    QTcpSocket replay;
    replay.connectToHost(QHostAddress::LocalHost, portOf(target));
    QVERIFY(replay.waitForConnected(RawTlsPeer::WaitMs));
    replay.write(stream);
    QVERIFY(replay.waitForBytesWritten(RawTlsPeer::WaitMs) || replay.state() != QAbstractSocket::ConnectedState);
    QDeadlineTimer deadline(RawTlsPeer::WaitMs);
    while (replay.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        replay.waitForReadyRead(100);
        replay.readAll();
    }
    QVERIFY2(replay.state() != QAbstractSocket::ConnectedState, "the replayed stream was taken");
    if (target != QLatin1String("server"))
        return;
    // Nobody logged in as carol on its strength.
    const KvrConfig status = MainServerCommands::getUserStatus(QStringLiteral("carol"));
    QCOMPARE(status.gv(QLatin1String(P::UserStatusKeyPrefix) + QStringLiteral("carol")),
             QLatin1String(P::StatusOffline));
}

void tst_Transport::replayInSession(const QString &target, bool reorder)
{
    RawTlsPeer peer;
    QVERIFY(peer.connect(portOf(target)));
    QVERIFY(peer.handshake());
    // A sound ping is answered: the session works.
    const QByteArray first = peer.seal(RawTlsPeer::frame(E2eFixture::newRecord(QLatin1String(P::Ping))));
    peer.sendRaw(first);
    QVERIFY(!peer.readFrame().isEmpty());

    const QByteArray second = peer.seal(RawTlsPeer::frame(E2eFixture::newRecord(QLatin1String(P::Ping))));
    const QByteArray third = peer.seal(RawTlsPeer::frame(E2eFixture::newRecord(QLatin1String(P::Ping))));
    peer.sendRaw(reorder ? third + second : first);
    QVERIFY(peer.readFrame(1000).isEmpty());
    QVERIFY(peer.waitUntilClosed());
}

void tst_Transport::malformed(const QString &target, const QString &damage)
{
    RawTlsPeer peer;
    QVERIFY(peer.connect(portOf(target)));
    if (damage == QLatin1String("garbage")) {
        peer.sendRaw(QByteArray("GET / HTTP/1.0\r\n\r\n") + QByteArray(4096, 'g'));
        QVERIFY(peer.waitUntilClosed());
        return;
    }
    QVERIFY(peer.handshake());
    QElapsedTimer clock;
    clock.start();
    if (damage == QLatin1String("zero"))
        peer.sendInside(RawTlsPeer::header(0));
    else if (damage == QLatin1String("over pending cap"))
        peer.sendInside(RawTlsPeer::header(quint32(PendingLinkBudget::Limits().frameLimit) + 1) + QByteArray(64, 'o'));
    else if (damage == QLatin1String("over cap"))
        peer.sendInside(RawTlsPeer::header(quint32(TcpConnection::MaxFrameSize) + 1) + QByteArray(64, 'o'));
    else if (damage == QLatin1String("truncated"))
        peer.sendInside(RawTlsPeer::frame(E2eFixture::newRecord(QLatin1String(P::Ping))).left(10));
    QVERIFY(peer.waitUntilClosed(3 * kTimeLimitMs));
    // A truncated frame is waited for, until the time limit.
    if (damage == QLatin1String("truncated"))
        QVERIFY(clock.elapsed() >= kTimeLimitMs / 2);
    else
        QVERIFY(clock.elapsed() < kTimeLimitMs);
}

void tst_Transport::flood(const QString &target)
{
    std::vector<std::unique_ptr<RawTlsPeer>> peers;
    int taken = 0;
    for (int i = 0; i < kFloodLinks; ++i) {
        auto peer = std::make_unique<RawTlsPeer>();
        QVERIFY(peer->connect(portOf(target)));
        if (!peer->handshake())
            continue; // refused: the address holds its most
        ++taken;
        peer->sendInside(RawTlsPeer::header(quint32(kFloodFrameBytes)));
        const QByteArray chunk(1024 * 1024, 'f');
        for (int sent = 0; sent < kFloodFrameBytes - chunk.size() && peer->isOpen(); sent += chunk.size())
            peer->sendInside(chunk);
        peers.push_back(std::move(peer));
    }
    QVERIFY(taken > 0);
    for (const auto &peer : peers)
        QVERIFY(peer->waitUntilClosed());
}

void tst_Transport::idleLinks(const QString &target)
{
    std::vector<std::unique_ptr<RawTlsPeer>> peers;
    QElapsedTimer clock;
    clock.start();
    int taken = 0;
    for (int i = 0; i < kIdleLinks; ++i) {
        auto peer = std::make_unique<RawTlsPeer>();
        QVERIFY(peer->connect(portOf(target)));
        if (peer->handshake())
            ++taken;
        peers.push_back(std::move(peer));
    }
    // One address holds a bounded number of them...
    QVERIFY(taken > 0);
    QVERIFY2(taken <= PendingLinkBudget::Limits().perAddress,
             qPrintable(QStringLiteral("%1 idle links were taken").arg(taken)));
    // ...and each for a bounded time.
    for (const auto &peer : peers)
        QVERIFY(peer->waitUntilClosed(3 * kTimeLimitMs));
    QVERIFY(clock.elapsed() < 4 * kTimeLimitMs);
}

void tst_Transport::slowLink(const QString &target)
{
    RawTlsPeer sender;
    QVERIFY(sender.connect(portOf(target)));
    const QByteArray hello = RawTlsPeer().clientHello();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < hello.size() && sender.isOpen() && clock.elapsed() < 3 * kTimeLimitMs; ++i) {
        sender.sendRaw(hello.mid(i, 1));
        sender.waitUntilClosed(1000);
    }
    QVERIFY(!sender.isOpen());
    QVERIFY(clock.elapsed() >= kTimeLimitMs / 2);
    QVERIFY(clock.elapsed() < 3 * kTimeLimitMs);
}

WIVORA_TEST_GUILESS_MAIN(tst_Transport)
#include "tst_Transport.moc"
