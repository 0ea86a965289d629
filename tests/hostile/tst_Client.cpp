// Hostile users against a client: a stranger floods it with records nobody
// claims, reads its files as another local user would, takes its listening
// port, and forges the keys and names a client trusts. Each runs against the
// real wivora-server and real wivora-headless clients; memory is read from
// the client's own /proc entry.

#include "QtTestSuite.h"
#include "Attacker.h"
#include "FileMode.h"
#include "Attacker.h"
#include "E2eFixture.h"
#include "MemoryBounds.h"

#include <ServerProtocol.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QDirIterator>
#include <QTcpServer>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace P = ServerProtocol;

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kMallory = QStringLiteral("mallory");
const QString kCommand = QStringLiteral("command");
const QString kSender = QStringLiteral("Wivora::sender");
const QString kConnection = QStringLiteral("Wivora::connection");
const QString kConnectionId = QStringLiteral("Wivora::connectionID");
constexpr qint64 kMiB = 1024 * 1024;

enum class Road { Relay, Direct };

// Once the answer to this keep-alive is back, the peer has judged every
// record sent before it on the link.
bool pingedThrough(TcpConnection &link)
{
    KvrConfig ping;
    ping.SetID();
    ping.sv(kCommand, QString::fromLatin1(P::Ping));
    return link.sendCommand(ping, ProbeClient::RoadTimeoutMs).gv(kCommand) == QLatin1String(P::Pong);
}

// Holds a TCP port the way another program would.
class PortHolder
{
public:
    PortHolder(quint16 port, bool listening)
    {
        if (listening) {
            m_held = m_server.listen(QHostAddress::AnyIPv4, port);
            return;
        }
        m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        m_held = m_socket >= 0 && ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~PortHolder()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;

    bool isHeld() const { return m_held; }

private:
    QTcpServer m_server;
    int m_socket = -1;
    bool m_held = false;
};

// The client's folder of machine settings, beside its storage folder.
QString configPath(ClientProcess &client, const QString &relative)
{
    QDir root(client.storagePath());
    root.cd(QStringLiteral("../.."));
    return root.filePath(QStringLiteral("c/wivora/") + relative);
}

// Every folder and file below folder (and folder itself) given these modes.
void loosen(const QString &folder, QFile::Permissions folderMode, QFile::Permissions fileMode)
{
    QFile::setPermissions(folder, folderMode);
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile::setPermissions(path, it.fileInfo().isDir() ? folderMode : fileMode);
    }
}

} // namespace

Q_DECLARE_METATYPE(Road)

class tst_Client : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void strangerFloodLeavesMemoryBounded_data();
    void strangerFloodLeavesMemoryBounded();
    void dataIsOwnerOnly_data();
    void dataIsOwnerOnly();
    void takenListeningPortIsReplaced_data();
    void takenListeningPortIsReplaced();
    void forgedRoutingKeysAreReplaced_data();
    void forgedRoutingKeysAreReplaced();
    void serverNamesFromPeersAreDropped_data();
    void serverNamesFromPeersAreDropped();

private:
    // Sends the record to bob on the road; the returned link (direct road)
    // carried it.
    QSharedPointer<TcpConnection> attack(Road road, const KvrConfig &record);
    QSharedPointer<TcpConnection> bobLink();

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
    Attacker m_mallory; // a user neither alice nor bob knows
    QSharedPointer<TcpConnection> m_malloryToBob;
};

void tst_Client::initTestCase()
{
    QVERIFY2(m_fixture.startService({kAlice, kBob, kMallory, QStringLiteral("carol"), QStringLiteral("dave")},
                                    {{kAlice, kBob}, {kAlice, QStringLiteral("dave")}}),
             qPrintable(m_fixture.server.errorText()));
    m_alice = m_fixture.client(kAlice);
    m_bob = m_fixture.client(kBob);
    QVERIFY(m_alice && m_bob);
    QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
    QVERIFY(m_mallory.logIn(m_fixture, kMallory));
}

QSharedPointer<TcpConnection> tst_Client::bobLink()
{
    if (!m_malloryToBob || !m_malloryToBob->isConnected())
        m_malloryToBob = m_mallory.linkTo(kBob, m_bob->listeningPort());
    return m_malloryToBob;
}

QSharedPointer<TcpConnection> tst_Client::attack(Road road, const KvrConfig &record)
{
    if (road == Road::Relay) {
        m_mallory.relay(kBob, record); // the server may refuse it: the client must hold either way
        return {};
    }
    const QSharedPointer<TcpConnection> link = bobLink();
    if (link)
        link->pushCommand(record);
    return link;
}

void tst_Client::strangerFloodLeavesMemoryBounded_data()
{
    QTest::addColumn<Road>("road");

    QTest::newRow("relayed through the server") << Road::Relay;
    QTest::newRow("over a direct link") << Road::Direct;
}

void tst_Client::strangerFloodLeavesMemoryBounded()
{
    QFETCH(Road, road);
    constexpr int records = 10000;
    constexpr int payloadBytes = 10 * 1024;
    constexpr qint64 allowedGrowth = 50 * kMiB;

    // Settled: a request crossed to bob and back.
    QVERIFY(!m_alice->probe().request(kBob, E2eFixture::newRecord(QStringLiteral("echo:::ping"))).isEmpty());
    const qint64 pid = m_bob->processId();
    const qint64 before = residentBytes(pid);
    QVERIFY(before > 0);

    // A server that caps its relay queue refuses while bob catches up.
    const auto relayWhenRoom = [this](const KvrConfig &record) {
        for (int attempt = 0; !m_mallory.relay(kBob, record) && attempt < 100; ++attempt)
            QTest::qWait(50);
    };
    // Named for a plug-in nobody has: no one ever claims them.
    qint64 peak = before;
    const QByteArray payload = E2eFixture::randomBytes(payloadBytes);
    for (int n = 0; n < records; ++n) {
        KvrConfig record = E2eFixture::newRecord(QStringLiteral("nobody:::flood"));
        record.SetValue(QStringLiteral("payload"), payload);
        if (road == Road::Relay) {
            relayWhenRoom(record);
        } else {
            QVERIFY(attack(road, record));
            // Paced by keep-alives: what bob holds is then its input list,
            // not a backlog on the link.
            if (n % 100 == 99)
                QVERIFY(pingedThrough(*bobLink()));
        }
        if (n % 200 == 0)
            peak = qMax(peak, residentBytes(pid));
    }
    // The flood is through once a record sent after it on the same road arrived.
    const KvrConfig marker = E2eFixture::newRecord(QStringLiteral("probe:::after"));
    if (road == Road::Relay)
        relayWhenRoom(marker);
    else
        attack(road, marker);
    // Behind the whole backlog the server let in, each record stored before
    // it is deleted there: this measures memory, not speed.
    constexpr int BacklogWaitMs = 300000;
    QVERIFY2(!m_bob->probe().waitFor(marker.GetID(), BacklogWaitMs).isEmpty(), qPrintable(m_bob->diagnostics()));
    peak = qMax(peak, residentBytes(pid));

    QVERIFY_MEMORY_BOUND(peak - before < allowedGrowth,
             qPrintable(QStringLiteral("%1 MiB before, %2 MiB at the peak").arg(before / kMiB).arg(peak / kMiB)));
    // A contact's records still arrive, on both roads.
    const KvrConfig direct = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 512);
    QCOMPARE(m_alice->probe().request(kBob, direct).GetValue(QStringLiteral("payload")),
             direct.GetValue(QStringLiteral("payload")));
    const KvrConfig relayed = E2eFixture::newRecord(QStringLiteral("probe:::relayed"), 512);
    QVERIFY(m_alice->probe().queue(kBob, relayed));
    QCOMPARE(m_bob->probe().waitFor(relayed.GetID()).gv(kSender), kAlice);
    QVERIFY(m_bob->isRunning());
}

void tst_Client::dataIsOwnerOnly_data()
{
    QTest::addColumn<bool>("looseBeforeStart");

    QTest::newRow("as a session leaves them") << false;
    QTest::newRow("loose ones repaired at start-up") << true;
}

void tst_Client::dataIsOwnerOnly()
{
    QFETCH(bool, looseBeforeStart);
    const QString carol = QStringLiteral("carol");

    auto client = m_fixture.client(carol);
    QVERIFY(client);
    // A session that leaves an account file and buffered records behind.
    QVERIFY2(client->start(), qPrintable(client->diagnostics()));
    QVERIFY(client->probe().buffer(kMallory, E2eFixture::newRecord(QStringLiteral("probe:::later"), 64)));
    QVERIFY2(client->stop(), qPrintable(client->diagnostics()));

    const QString userFolder = client->storagePath(QStringLiteral("pluginsstorage/") + carol);
    const QString pluginFile = userFolder + QStringLiteral("/probe/notes.txt");
    if (looseBeforeStart) {
        // As older versions left them, with a plug-in's own file among them.
        QVERIFY(QDir().mkpath(QFileInfo(pluginFile).path()));
        QFile notes(pluginFile);
        QVERIFY(notes.open(QIODevice::WriteOnly));
        notes.close();
        const QFile::Permissions folderMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        const QFile::Permissions fileMode =
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        loosen(client->storagePath(QStringLiteral("pluginsstorage")), folderMode, fileMode);
        QFile::setPermissions(client->storagePath(), folderMode);
        QFile::setPermissions(configPath(*client, QStringLiteral("dumps")), folderMode);
        QCOMPARE(modeOf(userFolder + QStringLiteral("/account.acc")), 0644);
        QVERIFY2(client->start(), qPrintable(client->diagnostics()));
        QVERIFY2(client->stop(), qPrintable(client->diagnostics()));
    }

    QMap<QString, int> expected{
        {client->storagePath(), 0700},
        {client->storagePath(QStringLiteral("pluginsstorage")), 0700},
        {userFolder, 0700},
        {userFolder + QStringLiteral("/account.acc"), 0600},
        {userFolder + QStringLiteral("/bufferedcommands.bfj"), 0600},
        {configPath(*client, QStringLiteral("dumps")), 0700},
    };
    if (looseBeforeStart) {
        expected.insert(QFileInfo(pluginFile).path(), 0700);
        expected.insert(pluginFile, 0600);
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(modeOf(it.key()) == it.value(),
                 qPrintable(QStringLiteral("%1: %2").arg(it.key()).arg(modeOf(it.key()), 0, 8)));
}

void tst_Client::takenListeningPortIsReplaced_data()
{
    QTest::addColumn<bool>("heldByListener");

    QTest::newRow("held by a program listening there") << true;
    QTest::newRow("bound by a program that does not listen") << false;
}

void tst_Client::takenListeningPortIsReplaced()
{
    QFETCH(bool, heldByListener);
    const QString dave = QStringLiteral("dave");

    auto client = m_fixture.client(dave);
    QVERIFY(client);
    PortHolder holder(client->listeningPort(), heldByListener);
    QVERIFY(holder.isHeld());
    QVERIFY2(client->start(), qPrintable(client->diagnostics()));

    // The server hands peers the port dave really listens on.
    const KvrConfig hostInfo = WServerCommands::getUserHostInfo(dave);
    const quint16 announced = quint16(hostInfo.gv(QString::fromLatin1(P::KeyTcpPort)).toUInt());
    QVERIFY2(announced != 0 && announced != client->listeningPort(), qPrintable(client->diagnostics()));
    const QSharedPointer<TcpConnection> probeLink = m_mallory.linkTo(dave, announced);
    QVERIFY(probeLink && pingedThrough(*probeLink));

    // A contact reaches dave there, by a direct TCP link.
    const int logBefore = m_alice->log().size();
    const KvrConfig ping = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 256);
    const KvrConfig reply = m_alice->probe().request(dave, ping);
    QCOMPARE(reply.gv(kSender), dave);
    QCOMPARE(reply.GetValue(QStringLiteral("payload")), ping.GetValue(QStringLiteral("payload")));
    const QString newLog = m_alice->log().mid(logBefore);
    QVERIFY2(newLog.contains(QStringLiteral("connected tcp direct")), qPrintable(newLog));
    QVERIFY2(client->stop(), qPrintable(client->diagnostics()));
}

void tst_Client::forgedRoutingKeysAreReplaced_data()
{
    QTest::addColumn<Road>("road");
    QTest::addColumn<QString>("connection"); // "Wivora::connection" as it arrives; "-" for none

    QTest::newRow("relayed through the server") << Road::Relay << "-";
    QTest::newRow("over a direct link") << Road::Direct << "0";
}

void tst_Client::forgedRoutingKeysAreReplaced()
{
    QFETCH(Road, road);
    QFETCH(QString, connection);

    KvrConfig record = E2eFixture::newRecord(QStringLiteral("probe:::forged"), 64);
    record.sv(kSender, kAlice);
    record.sv(kConnection, QStringLiteral("1"));
    record.sv(kConnectionId, QStringLiteral("{forged}"));
    attack(road, record);

    const KvrConfig arrived = m_bob->probe().waitFor(record.GetID());
    QVERIFY2(!arrived.isEmpty(), qPrintable(m_bob->diagnostics()));
    QCOMPARE(arrived.gv(kSender), kMallory);
    QCOMPARE(arrived.CheckKeyExist(kConnection) ? arrived.gv(kConnection) : QStringLiteral("-"), connection);
    QVERIFY(arrived.gv(kConnectionId) != QLatin1String("{forged}"));
}

void tst_Client::serverNamesFromPeersAreDropped_data()
{
    QTest::addColumn<Road>("road");
    QTest::addColumn<QString>("command");

    for (const Road road : {Road::Relay, Road::Direct}) {
        const char *const roadName = road == Road::Relay ? "relayed" : "direct";
        QTest::addRow("%s: logout", roadName) << road << QString::fromLatin1(P::PushLogout);
        QTest::addRow("%s: status of a contact", roadName) << road << QString::fromLatin1(P::PushUserStatusChanged);
        QTest::addRow("%s: web server's request", roadName) << road << QStringLiteral("WebLocal::echo:::ping");
    }
}

void tst_Client::serverNamesFromPeersAreDropped()
{
    QFETCH(Road, road);
    QFETCH(QString, command);

    KvrConfig record = E2eFixture::newRecord(command);
    // What a status push carries: alice, a contact of bob, would show offline.
    record.sv(QString::fromLatin1(P::KeyUserName), kAlice);
    record.sv(QString::fromLatin1(P::KeyStatus), QString::fromLatin1(P::StatusOffline));
    const QByteArray aliceStatus = m_bob->probe().contactValue(kAlice + QStringLiteral("/status"));
    attack(road, record);

    // Records of one road are handled in order: once a later one arrived,
    // bob has judged this one.
    const KvrConfig marker = E2eFixture::newRecord(QStringLiteral("probe:::after"));
    attack(road, marker);
    QVERIFY2(!m_bob->probe().waitFor(marker.GetID()).isEmpty(), qPrintable(m_bob->diagnostics()));

    QCOMPARE(m_bob->probe().commandsSeen(record.GetID()), 0);
    QCOMPARE(m_bob->probe().contactValue(kAlice + QStringLiteral("/status")), aliceStatus);
    // Still logged in: a contact's request is answered.
    QVERIFY(!m_alice->probe().request(kBob, E2eFixture::newRecord(QStringLiteral("echo:::ping"))).isEmpty());
    QVERIFY2(m_bob->isRunning() && !m_bob->output().contains(QStringLiteral("logged out")),
             qPrintable(m_bob->diagnostics()));
}

WIVORA_TEST_GUILESS_MAIN(tst_Client)
#include "tst_Client.moc"
