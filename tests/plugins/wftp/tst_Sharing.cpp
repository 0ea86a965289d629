// File sharing between real clients of a real wivora-server: bob shares a
// folder with alice, who sees it, lists it, reads and writes through it and
// loses it when bob stops; carol, bob's contact without a grant, and a
// program that never authenticates get nothing.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "E2eFixture.h"
#include "WFtpOperations.h"

#include <ServerProtocol.h>
#include <WFtpProtocol.h>

#include <QtTest>

using namespace WFtpProtocol;

namespace {

const QString Plugin = QStringLiteral("WFtp");
const QString Disc = QStringLiteral("vls/bob/docs/root");
constexpr int SharedWaitMs = 30000;

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

KvrConfig keys(const QMap<QString, QString> &values)
{
    KvrConfig record;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        record.sv(it.key(), it.value());
    return record;
}

} // namespace

class tst_Sharing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void aliceReceivesTheDisc();
    void aliceListsThroughTheCache();
    void aliceReadsAWholeFile();
    void aliceWritesOnBobsDisc();
    void carolGetsNothing();
    void strangerGetsNothing();
    void aliceFollowsBobsFolderUsers();
    void aliceLosesTheDiscWhenBobStops();

private:
    KvrConfig invoke(ClientProcess &client, const QString &operation, const KvrConfig &argument = {});
    QStringList knownDiscs(ClientProcess &client);

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice, m_bob, m_carol;
    QTemporaryDir m_files;
    QByteArray m_big;
};

KvrConfig tst_Sharing::invoke(ClientProcess &client, const QString &operation, const KvrConfig &argument)
{
    bool invoked = false;
    const KvrConfig result = client.probe().invoke(Plugin, operation, argument, &invoked, 60000);
    if (!invoked)
        qWarning("%s could not be invoked", qPrintable(operation));
    return result;
}

QStringList tst_Sharing::knownDiscs(ClientProcess &client)
{
    return invoke(client, "knownDiscs").gv("discs").split(ListSeparator, Qt::SkipEmptyParts);
}

void tst_Sharing::initTestCase()
{
    QVERIFY(m_files.isValid());
    const QString docs = m_files.filePath("docs");
    QVERIFY(QDir().mkpath(docs));
    QVERIFY(writeBytes(docs + "/a.txt", "alpha"));
    m_big = E2eFixture::randomBytes(20 * 1024 * 1024);
    QVERIFY(writeBytes(docs + "/big.bin", m_big));

    QVERIFY(m_fixture.startService({"alice", "bob", "carol"}, {{"alice", "bob"}, {"bob", "carol"}}));
    m_alice = m_fixture.client("alice");
    m_bob = m_fixture.client("bob");
    m_carol = m_fixture.client("carol");
    QVERIFY(startWithWFtp({m_alice.get(), m_bob.get(), m_carol.get()}));
    QCOMPARE(invoke(*m_bob, "shareFolder", keys({{"path", docs}, {"users", "alice"}})).gv("disc"), Disc);
}

void tst_Sharing::aliceReceivesTheDisc()
{
    QTRY_COMPARE_WITH_TIMEOUT(knownDiscs(*m_alice), QStringList{Disc}, SharedWaitMs);
}

void tst_Sharing::aliceListsThroughTheCache()
{
    const QStringList names = {"a.txt", "big.bin"};
    QCOMPARE(invoke(*m_alice, "listFolder", keys({{"path", Disc}})).gv("names").split(ListSeparator), names);
    // The second time from the cache: a file added since does not show until a reload.
    QVERIFY(writeBytes(m_files.filePath("docs/c.txt"), "gamma"));
    QCOMPARE(invoke(*m_alice, "listFolder", keys({{"path", Disc}})).gv("names").split(ListSeparator), names);
    QCOMPARE(invoke(*m_alice, "listFolder", keys({{"path", Disc}, {"reload", "true"}})).gv("names").split(ListSeparator),
             QStringList({"a.txt", "big.bin", "c.txt"}));
}

void tst_Sharing::aliceReadsAWholeFile()
{
    const KvrConfig read = invoke(*m_alice, "readFile", keys({{"path", Disc + "/big.bin"}, {"chunk", "4194304"}}));
    QVERIFY(read.checkResult());
    QCOMPARE(read.gv("size").toLongLong(), qint64(m_big.size()));
    QCOMPARE(read.gv("sha256"), QString::fromLatin1(QCryptographicHash::hash(m_big, QCryptographicHash::Sha256).toHex()));
}

void tst_Sharing::aliceWritesOnBobsDisc()
{
    KvrConfig write = keys({{"path", Disc + "/from-alice.txt"}});
    write.SetValue("data", QByteArray("written by alice"));
    QVERIFY(invoke(*m_alice, "writeFile", write).checkResult());
    QCOMPARE(fileBytes(m_files.filePath("docs/from-alice.txt")), QByteArray("written by alice"));
}

void tst_Sharing::carolGetsNothing()
{
    QVERIFY(knownDiscs(*m_carol).isEmpty());
    QVERIFY(!invoke(*m_carol, "listFolder", keys({{"path", Disc}})).checkResult());
    QVERIFY(!invoke(*m_carol, "readFile", keys({{"path", Disc + "/a.txt"}, {"chunk", "1024"}})).checkResult());
    KvrConfig write = keys({{"path", Disc + "/from-carol.txt"}});
    write.SetValue("data", QByteArray("x"));
    QVERIFY(!invoke(*m_carol, "writeFile", write).checkResult());
    QVERIFY(!QFile::exists(m_files.filePath("docs/from-carol.txt")));
}

void tst_Sharing::strangerGetsNothing()
{
    const QString docs = m_files.filePath("docs");
    const QStringList before = QDir(docs).entryList(QDir::Files, QDir::Name);
    TcpConnection stranger;
    QVERIFY(stranger.connectToHost(QStringLiteral("127.0.0.1"), QString::number(m_bob->listeningPort()),
                                   E2eFixture::publicKeyOf("bob")));
    const QList<QPair<QString, QStringList>> requests = {
        {GetSharedFolders, {"user", "alice"}},
        {ListDirectory, {"user", "alice", "path", Disc}},
        {CreateDirectory, {"user", "alice", "path", Disc, "folderName", "made"}},
        {RenameFile, {"user", "alice", "oldName", Disc + "/a.txt", "newName", Disc + "/b.txt"}},
        {DeleteFiles, {"user", "alice", "files", Disc + "/a.txt|"}},
        {CheckFileExist, {"user", "alice", "path", Disc + "/a.txt"}},
        {OpenFile, {"user", "bob", "path", Disc + "/a.txt", "mode", "w"}},
        {ReadFile, {"fileID", "{x}", "from", "0", "count", "10"}},
        {WriteFile, {"fileID", "{x}", "data", "x"}},
        {SizeFile, {"fileID", "{x}"}},
        {IsFileOpen, {"fileID", "{x}"}},
        {CloseFile, {"fileID", "{x}"}},
    };
    QStringList ids;
    for (const auto &request : requests) {
        KvrConfig record = E2eFixture::newRecord(request.first);
        for (int i = 0; i + 1 < request.second.size(); i += 2)
            record.sv(request.second[i], request.second[i + 1]);
        record.sv("Wivora::sender", "alice");
        QVERIFY(stranger.pushCommand(record));
        ids << record.GetID();
    }
    // Records of one link are judged in order: once the keep-alive is
    // answered, bob has judged every request.
    KvrConfig ping;
    ping.SetID();
    ping.sv("command", QString::fromLatin1(ServerProtocol::Ping));
    QCOMPARE(stranger.sendCommand(ping, ProbeClient::RoadTimeoutMs).gv("command"), QStringLiteral("pong"));
    QTest::qWait(500);
    for (const QString &id : ids)
        QVERIFY(stranger.getCommand(id, 0).isEmpty());
    QCOMPARE(QDir(docs).entryList(QDir::Files, QDir::Name), before);
    QCOMPARE(fileBytes(docs + "/a.txt"), QByteArray("alpha"));
    QVERIFY(!QFile::exists(docs + "/made"));
}

void tst_Sharing::aliceFollowsBobsFolderUsers()
{
    // bob removes every user of the folder: alice is told and shut out.
    invoke(*m_bob, "setFolderUsers", keys({{"path", Disc}}));
    QTRY_VERIFY_WITH_TIMEOUT(knownDiscs(*m_alice).isEmpty(), SharedWaitMs);
    QVERIFY(!invoke(*m_alice, "listFolder", keys({{"path", Disc}, {"reload", "true"}})).checkResult());

    // Granted again, she sees it again; carol, listed without a right, does not.
    invoke(*m_bob, "setFolderUsers", keys({{"path", Disc}, {"users", "alice"}, {"without", "carol"}}));
    QTRY_COMPARE_WITH_TIMEOUT(knownDiscs(*m_alice), QStringList{Disc}, SharedWaitMs);
    QVERIFY(invoke(*m_alice, "listFolder", keys({{"path", Disc}, {"reload", "true"}})).checkResult());
    QVERIFY(knownDiscs(*m_carol).isEmpty());
}

void tst_Sharing::aliceLosesTheDiscWhenBobStops()
{
    QVERIFY(invoke(*m_bob, "stopSharing", keys({{"disc", "docs"}})).checkResult());
    QTRY_VERIFY_WITH_TIMEOUT(knownDiscs(*m_alice).isEmpty(), SharedWaitMs);
    QVERIFY(!invoke(*m_alice, "listFolder", keys({{"path", Disc}, {"reload", "true"}})).checkResult());
}

WIVORA_TEST_GUILESS_MAIN(tst_Sharing)
#include "tst_Sharing.moc"
