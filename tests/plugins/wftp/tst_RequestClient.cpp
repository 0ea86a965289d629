// The asking side between in-process clients: alice asks bob, whose plug-in
// serves a disc on real folders; what peers answer or push unasked is checked
// before alice's plug-in uses it.
#include "QtTestSuite.h"
#include "ShareFixture.h"
#include "TestHost.h"

#include <WFtp.h>
#include <WFtpCommands.h>
#include <WFtpProtocol.h>

#include <QtTest>

#include <thread>

using namespace WFtpProtocol;

class tst_RequestClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void requestsReachTheOwnersDisc();
    void forgedReplies_data();
    void forgedReplies();
    void hostilePages_data();
    void hostilePages();
    void lateReplyIsDropped();
    void requestsRefusedBeforeSending();
    void sequentialRequestsWakeOnArrival();
    void sharedFoldersPush_data();
    void sharedFoldersPush();
    void disconnectMatchesTheNormalisedDisc();
    void refreshAsksOnlineContacts();
    void offlineContactLosesItsDiscs();

private:
    // bob without his plug-in: the test answers alice's request by hand.
    KvrConfig answerByHand(const std::function<void(const KvrConfig &request)> &answer);
    // alice's listing of bob's disc while bob answers her n-th page request
    // (from 0) with pages[n], or the last of pages once they run out.
    FolderListing listWithPages(const QStringList &pages);

    std::unique_ptr<ShareFixture> m_files;
    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<TestHost> m_alice, m_bob, m_carol, m_dave;
    std::unique_ptr<WFtp> m_alicePlugin, m_bobPlugin;
};

void tst_RequestClient::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_network = std::make_unique<TestNetwork>();
    m_alice = std::make_unique<TestHost>("alice", m_network.get());
    m_bob = std::make_unique<TestHost>("bob", m_network.get());
    m_carol = std::make_unique<TestHost>("carol", m_network.get());
    m_dave = std::make_unique<TestHost>("dave", m_network.get());
    m_alice->addContact("bob");
    m_alice->addContact("carol", 0);
    m_alicePlugin = std::make_unique<WFtp>();
    m_alice->setPlugin(m_alicePlugin.get());
}

void tst_RequestClient::cleanup()
{
    m_network->quiesce();
    m_alicePlugin.reset();
    m_bobPlugin.reset();
}

// bob shares the fixture's "docs" with alice (read, write, delete).
static void shareWithAlice(WFtp &plugin, const ShareFixture &files)
{
    WFtpEngine &engine = *plugin.commandParser().engine();
    const QString disc = engine.addSharedDisc(files.docs(), "docs");
    engine.addPermittedUser(ShareFixture::record("alice", {"1", "1", "1"}), disc, "root");
}

void tst_RequestClient::requestsReachTheOwnersDisc()
{
    m_bobPlugin = std::make_unique<WFtp>();
    m_bob->setPlugin(m_bobPlugin.get());
    shareWithAlice(*m_bobPlugin, *m_files);
    WFtpCommands commands(m_alicePlugin->controller());

    const WDataStructure listing = commands.listDirectory("vls/bob/docs/root").rows;
    QStringList names;
    for (const auto &row : listing.getChildren())
        names << row->gv("Name");
    QCOMPARE(names, QStringList({"a.txt", "pub"}));

    QVERIFY(commands.checkFileExist("vls/bob/docs/root/a.txt"));
    QVERIFY(!commands.checkFileExist("vls/bob/docs/root/missing.txt"));
    QVERIFY(commands.createDirectory("vls/bob/docs/root/", "made"));
    QVERIFY(QFileInfo(m_files->docs() + "/made").isDir());
    QVERIFY(commands.renameFile("vls/bob/docs/root/a.txt", "vls/bob/docs/root/b.txt"));
    QCOMPARE(ShareFixture::readFile(m_files->docs() + "/b.txt"), QByteArray("alpha"));
    QVERIFY(commands.deleteFiles({"vls/bob/docs/root/b.txt", "vls/bob/docs/root/made"}));
    QVERIFY(!QFile::exists(m_files->docs() + "/b.txt"));
    QVERIFY(!QFile::exists(m_files->docs() + "/made"));
    // Nothing outside the folder, and no reply left behind.
    QVERIFY(!commands.createDirectory("vls/bob/docs/root", ".."));
    m_alice->waitIdle();
    QVERIFY(m_alice->takeAll(CheckFileExist + ReplySuffix).isEmpty());
}

KvrConfig tst_RequestClient::answerByHand(const std::function<void(const KvrConfig &request)> &answer)
{
    std::thread owner([&] {
        for (int i = 0; i < 200; ++i) {
            const QList<KvrConfig> asked = m_bob->takeAll(ListDirectory);
            if (!asked.isEmpty()) {
                answer(asked.first());
                return;
            }
            QThread::msleep(10);
        }
    });
    WDataStructure listing = WFtpCommands(m_alicePlugin->controller()).listDirectory("vls/bob/docs/root").rows;
    owner.join();
    KvrConfig result;
    result.sv("list", listing.SerializeStructure());
    result.SetValue("rows", listing.childCount());
    return result;
}

static QString listingOf(const QStringList &names)
{
    WDataStructure listing;
    for (const QString &name : names) {
        auto row = QSharedPointer<WDataStructure>::create();
        row->sv("Name", name);
        row->sv("Size", "1");
        listing.AddStructure(row);
    }
    return listing.SerializeStructure();
}

void tst_RequestClient::forgedReplies_data()
{
    QTest::addColumn<QString>("replier");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("kept");

    const QString callback = ListDirectory + ReplySuffix;
    QTest::newRow("the owner's reply") << "bob" << callback << QStringList{"a.txt", "b"} << QStringList{"a.txt", "b"};
    QTest::newRow("names that leave the folder dropped")
        << "bob" << callback << QStringList{"..", "../x", "a/b", ".", "", "ok.txt"}
        << QStringList{"ok.txt"};
    QTest::newRow("someone else answering") << "carol" << callback << QStringList{"a.txt"} << QStringList{};
    QTest::newRow("answer to another request") << "bob" << CheckFileExist + ReplySuffix << QStringList{"a.txt"}
                                               << QStringList{};
    QTest::newRow("request name as reply") << "bob" << ListDirectory << QStringList{"a.txt"} << QStringList{};
}

void tst_RequestClient::forgedReplies()
{
    QFETCH(QString, replier);
    QFETCH(QString, command);
    QFETCH(QStringList, names);
    QFETCH(QStringList, kept);

    TestHost *const from = m_network->find(replier);
    const KvrConfig got = answerByHand([&](const KvrConfig &request) {
        KvrConfig reply;
        reply.sv("ID", request.GetID());
        reply.sv("command", command);
        reply.SetResult(true);
        reply.sv("list", listingOf(names));
        from->sendCommand(reply, "alice", false, request.gv("Wivora::connectionID"));
    });
    WDataStructure listing;
    listing.DeserializeStructure(got.gv("list"));
    QStringList gotNames;
    for (const auto &row : listing.getChildren())
        gotNames << row->gv("Name");
    QCOMPARE(gotNames, kept);
}

// A page as "name;name>next", or "busy", "refused", "garbage".
FolderListing tst_RequestClient::listWithPages(const QStringList &pages)
{
    std::atomic<bool> finished{false};
    std::thread owner([&] {
        int asked = 0;
        while (!finished) {
            for (const KvrConfig &request : m_bob->takeAll(ListDirectory)) {
                const QString page = pages.value(qMin(asked++, pages.size() - 1));
                KvrConfig reply;
                reply.sv("ID", request.GetID());
                reply.sv("command", ListDirectory + ReplySuffix);
                reply.SetResult(page != "busy" && page != "refused");
                if (page == "busy")
                    reply.sv(KeyBusy, "true");
                else if (page == "garbage")
                    reply.sv(KeyList, "!not a listing!");
                else if (page != "refused")
                    reply.sv(KeyList, listingOf(page.section('>', 0, 0).split(';', Qt::SkipEmptyParts)));
                if (page.contains('>'))
                    reply.sv(KeyNext, page.section('>', 1));
                m_bob->sendCommand(reply, "alice", false, request.gv("Wivora::connectionID"));
            }
            QThread::msleep(2);
        }
    });
    const FolderListing listing = WFtpCommands(m_alicePlugin->controller()).listDirectory("vls/bob/docs/root");
    finished = true;
    owner.join();
    return listing;
}

void tst_RequestClient::hostilePages_data()
{
    QTest::addColumn<QStringList>("pages");
    QTest::addColumn<int>("error"); // FolderListing::Error
    QTest::addColumn<QStringList>("names");

    const int none = int(FolderListing::Error::None);
    const int damaged = int(FolderListing::Error::Damaged);
    QTest::newRow("pages joined") << QStringList{"a;b>b", "c;d>d", "e"} << none << QStringList{"a", "b", "c", "d", "e"};
    QTest::newRow("busy, then the page") << QStringList{"busy", "busy", "a;b"} << none << QStringList{"a", "b"};
    QTest::newRow("unsafe names dropped on every page")
        << QStringList{"..;a>a", "x/y;b"} << none << QStringList{"a", "b"};
    QTest::newRow("an empty folder") << QStringList{""} << none << QStringList{};
    QTest::newRow("refused") << QStringList{"refused"} << int(FolderListing::Error::Refused) << QStringList{};
    QTest::newRow("a second page refused") << QStringList{"a>a", "refused"} << int(FolderListing::Error::Refused)
                                          << QStringList{};
    QTest::newRow("not a listing") << QStringList{"garbage"} << damaged << QStringList{};
    QTest::newRow("a next that does not move on") << QStringList{"a;b>a"} << damaged << QStringList{};
    QTest::newRow("rows of the last page again") << QStringList{"a;b>b", "b;c"} << damaged << QStringList{};
    QTest::newRow("the same page for ever") << QStringList{"a>a"} << damaged << QStringList{};
}

void tst_RequestClient::hostilePages()
{
    QFETCH(QStringList, pages);
    QFETCH(int, error);
    QFETCH(QStringList, names);

    const FolderListing listing = listWithPages(pages);
    QCOMPARE(int(listing.error), error);
    QStringList got;
    for (const auto &row : listing.rows.getChildren())
        got << row->gv("Name");
    QCOMPARE(got, names);
}

void tst_RequestClient::lateReplyIsDropped()
{
    QElapsedTimer waited;
    waited.start();
    KvrConfig request;
    const KvrConfig got = answerByHand([&](const KvrConfig &asked) { request = asked; });
    QCOMPARE(got.gv("rows"), QStringLiteral("0"));
    QVERIFY(waited.elapsed() >= 9500);

    KvrConfig reply;
    reply.sv("ID", request.GetID());
    reply.sv("command", ListDirectory + ReplySuffix);
    reply.SetResult(true);
    reply.sv("list", listingOf({"late.txt"}));
    m_bob->sendCommand(reply, "alice", false, QString());
    m_alice->waitIdle();
    QVERIFY(m_alice->takeInputCommand(request.GetID()).isEmpty());
}

void tst_RequestClient::requestsRefusedBeforeSending()
{
    WFtpCommands commands(m_alicePlugin->controller());
    QVERIFY(!commands.deleteFiles({}));
    QVERIFY(!commands.deleteFiles({"vls/bob/docs/root/a.txt|vls/bob/docs/root/pub"}));
    QCOMPARE(commands.listDirectory("").error, FolderListing::Error::Refused);
    QVERIFY(m_alice->sentCommands().isEmpty());
}

void tst_RequestClient::sequentialRequestsWakeOnArrival()
{
    m_bobPlugin = std::make_unique<WFtp>();
    m_bob->setPlugin(m_bobPlugin.get());
    shareWithAlice(*m_bobPlugin, *m_files);
    WFtpCommands commands(m_alicePlugin->controller());
    QElapsedTimer took;
    took.start();
    for (int i = 0; i < 1000; ++i)
        QVERIFY(commands.checkFileExist("vls/bob/docs/root/a.txt"));
    // A 50 ms poll per request would take 50 s.
    QVERIFY2(took.elapsed() < 40000, qPrintable(QString::number(took.elapsed())));
}

void tst_RequestClient::sharedFoldersPush_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("discs");
    QTest::addColumn<QStringList>("known");

    QTest::newRow("a contact's discs, one named twice")
        << "bob" << "vls/bob/Music/root|vls/bob/Music/root|vls/bob/Photos/trip|" << QStringList{"vls/bob/Music/root", "vls/bob/Photos/trip"};
    QTest::newRow("a disc of someone else") << "bob" << "vls/carol/X/root|" << QStringList{};
    QTest::newRow("a path that climbs") << "bob" << "vls/bob/../carol/X|vls/bob/M/../..|" << QStringList{};
    QTest::newRow("no disc name") << "bob" << "vls/bob|" << QStringList{};
    QTest::newRow("offline contact's own") << "carol" << "vls/carol/X/root|" << QStringList{"vls/carol/X/root"};
    QTest::newRow("a stranger's own") << "dave" << "vls/dave/X/root|" << QStringList{};
}

void tst_RequestClient::sharedFoldersPush()
{
    QFETCH(QString, sender);
    QFETCH(QString, discs);
    QFETCH(QStringList, known);

    QSignalSpy added(&m_alicePlugin->controller(), &WFtpMain::friendDiscAdded);
    KvrConfig push = WFtpCommands::newRecord(GetSharedFolders + ReplySuffix);
    push.SetResult(true);
    push.sv("discs", discs);
    m_network->find(sender)->sendCommand(push, "alice", false, QString());
    m_alice->waitIdle();
    QCOMPARE(m_alicePlugin->controller().knownDiscs(), known);
    QCOMPARE(added.size(), known.size());
    // Taken, whoever sent it.
    QVERIFY(m_alice->takeInputCommand(push.GetID()).isEmpty());
}

void tst_RequestClient::disconnectMatchesTheNormalisedDisc()
{
    WFtpMain &main = m_alicePlugin->controller();
    main.addKnownDisc("vls/bob/Music/root");
    main.addKnownDisc("vls/bob/Photos/root");
    QSignalSpy removed(&main, &WFtpMain::friendDiscRemoved);
    const auto disconnect = [&](TestHost &from, const QString &path) {
        KvrConfig push = WFtpCommands::newRecord("wftp:::disconnectDisc:callback");
        push.sv("path", path);
        from.sendCommand(push, "alice", false, QString());
        m_alice->waitIdle();
    };
    disconnect(*m_carol, "vls/bob/Photos");
    QCOMPARE(main.knownDiscs().size(), 2);
    disconnect(*m_bob, "vls/bob/Music");
    QCOMPARE(main.knownDiscs(), QStringList{"vls/bob/Photos/root"});
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed[0][0].toString(), QStringLiteral("vls/bob/Music"));
}

void tst_RequestClient::refreshAsksOnlineContacts()
{
    m_bobPlugin = std::make_unique<WFtp>();
    m_bob->setPlugin(m_bobPlugin.get());
    m_bob->addContact("alice");
    shareWithAlice(*m_bobPlugin, *m_files);
    // alice's own disc for bob, so the refresh tells him about it.
    WFtpEngine &own = *m_alicePlugin->commandParser().engine();
    const QString disc = own.addSharedDisc(m_files->outside(), "out");
    own.addPermittedUser(ShareFixture::record("bob", {"1"}), disc, "root");
    own.addPermittedUser(ShareFixture::record("carol", {"1"}), disc, "root");

    QSignalSpy added(&m_alicePlugin->controller(), &WFtpMain::friendDiscAdded);
    m_alicePlugin->controller().refreshContactsFolders(0);
    m_alice->waitIdle();
    m_bob->waitIdle();
    m_alice->waitIdle();
    QStringList receivers;
    for (const auto &route : m_alice->sentRoutes())
        receivers << route.first;
    // carol is offline: nothing goes to her.
    QCOMPARE(receivers, QStringList({"bob", "bob"}));
    QCOMPARE(m_alicePlugin->controller().knownDiscs(), QStringList{"vls/bob/docs/root"});
    QCOMPARE(added.size(), 1);
    QCOMPARE(m_bobPlugin->controller().knownDiscs(), QStringList{"vls/alice/out/root"});
}

void tst_RequestClient::offlineContactLosesItsDiscs()
{
    WFtpMain &main = m_alicePlugin->controller();
    main.addKnownDisc("vls/carol/X/root");
    main.addKnownDisc("vls/bob/Y/root");
    main.addKnownDisc("vls/dave/Z/root");
    QSignalSpy removed(&main, &WFtpMain::userDiscsRemoved);
    m_alicePlugin->signalReceived("signalContactEdited", {{"username", "dave"}});
    m_alicePlugin->signalReceived("signalContactEdited", {{"username", "carol"}});
    QCOMPARE(main.knownDiscs(), QStringList({"vls/bob/Y/root", "vls/dave/Z/root"}));
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed[0][0].toString(), QStringLiteral("carol"));
}

WIVORA_TEST_GUILESS_MAIN(tst_RequestClient)
#include "tst_RequestClient.moc"
