// The plug-in between clients: requests arrive as the core delivers them and
// replies leave on the request's link; the attacks of a hostile peer are
// refused and leave every file as it was.
#include "QtTestSuite.h"
#include "ShareFixture.h"
#include "TestHost.h"

#include <WFtp.h>
#include <WFtpProtocol.h>

#include <QtTest>

// alice shares "docs" (root and "pub"); bob reads both; erin has every right
// on both; carol's grant on "pub" has expired. "docs/out" links outside.

class tst_PluginRoads : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void repliesLeaveOnTheRequestsLink();
    void routingKeysComeFromTheLink();
    void webRequestsAnswerOnTheServerLink();
    void unauthenticatedRequestsGetNothing();
    void thumbnailsFollowTheListing();
    void hostilePeer_data();
    void hostilePeer();
    void tenThousandOpens();

private:
    KvrConfig request(const QString &command, const QMap<QString, QString> &keys);
    // Sends from `from` to alice and waits for the reply.
    KvrConfig ask(TestHost &from, const KvrConfig &record);

    std::unique_ptr<TestNetwork> m_network;
    std::unique_ptr<TestHost> m_alice, m_bob, m_carol, m_erin;
    std::unique_ptr<WFtp> m_alicePlugin, m_bobPlugin;
    std::unique_ptr<ShareFixture> m_files;
};

void tst_PluginRoads::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_network = std::make_unique<TestNetwork>();
    m_alice = std::make_unique<TestHost>("alice", m_network.get());
    m_bob = std::make_unique<TestHost>("bob", m_network.get());
    m_carol = std::make_unique<TestHost>("carol", m_network.get());
    m_erin = std::make_unique<TestHost>("erin", m_network.get());
    m_alicePlugin = std::make_unique<WFtp>();
    m_bobPlugin = std::make_unique<WFtp>();
    m_alice->setPlugin(m_alicePlugin.get());
    m_bob->setPlugin(m_bobPlugin.get());

    WFtpEngine &engine = *m_alicePlugin->commandParser().engine();
    const QString disc = engine.addSharedDisc(m_files->docs(), "docs");
    QVERIFY(engine.addSharedFolder(disc, "/pub"));
    for (const char *folder : {"root", "pub"}) {
        engine.addPermittedUser(ShareFixture::record("bob", {"1"}), disc, folder);
        engine.addPermittedUser(ShareFixture::record("erin", {"0", "0", "0", "1"}), disc, folder);
    }
    engine.addPermittedUser(ShareFixture::record("carol", {"1", "1", "1"}, "0", QDateTime::currentDateTime().addSecs(-60)),
                            disc, "pub");
    QVERIFY(QFile::link(m_files->outside(), m_files->docs() + "/out"));
    QVERIFY(QFile::link(m_files->outside() + "/secret.txt", m_files->docs() + "/pub/secret-link"));
}

void tst_PluginRoads::cleanup()
{
    m_network->quiesce();
    m_alicePlugin->commandParser().engine()->thumbnailScheduler().waitForDone();
    // Plug-ins go before their hosts, as in the program.
    m_alicePlugin.reset();
    m_bobPlugin.reset();
}

KvrConfig tst_PluginRoads::request(const QString &command, const QMap<QString, QString> &keys)
{
    KvrConfig record;
    record.SetID();
    record.sv(WFtpProtocol::KeyCommand, command);
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        record.sv(it.key(), it.value());
    return record;
}

KvrConfig tst_PluginRoads::ask(TestHost &from, const KvrConfig &record)
{
    from.sendCommand(record, "alice", false, QString());
    return from.waitFor(record.GetID());
}

void tst_PluginRoads::repliesLeaveOnTheRequestsLink()
{
    const KvrConfig asked = request(WFtpProtocol::CheckFileExist, {{"path", "vls/alice/docs/pub/p.txt"}});
    const KvrConfig reply = ask(*m_bob, asked);
    QVERIFY(reply.checkResult());
    QCOMPARE(reply.gv("command"), WFtpProtocol::CheckFileExist + ":callback");
    QCOMPARE(reply.GetID(), asked.GetID());
    // alice answered on the link bob's request came on, back to bob.
    const QList<KvrConfig> sent = m_alice->sentCommands();
    QCOMPARE(sent.size(), 1);
    QCOMPARE(reply.gv("Wivora::connectionID"), QStringLiteral("link-bob-alice"));
    QCOMPARE(sent[0].gv("Wivora::sender"), QStringLiteral("bob"));
    QVERIFY(!sent[0].CheckKeyExist("Wivora::connectionID"));
    QVERIFY(m_bob->takeInputCommand(asked.GetID()).isEmpty());
    // bob's own plug-in left the reply for its asker.
    m_bob->waitIdle();

    // A name in the wrong letter case is ours too, and refused.
    const KvrConfig shouted = request("WFTP:::listDirectory", {{"user", "bob"}, {"path", "vls/alice/docs/pub"}});
    const KvrConfig refusal = ask(*m_bob, shouted);
    QCOMPARE(refusal.gv("command"), QStringLiteral("WFTP:::listDirectory:callback"));
    QVERIFY(!refusal.checkResult());
}

void tst_PluginRoads::routingKeysComeFromTheLink()
{
    // bob claims to be the owner, in both the routing key and "user".
    KvrConfig asked = request(WFtpProtocol::DeleteFiles, {{"user", "alice"}, {"files", "vls/alice/docs/pub/p.txt|"}});
    asked.sv("Wivora::sender", "alice");
    asked.sv("Wivora::connectionID", "server-link");
    const KvrConfig reply = ask(*m_bob, asked);
    QVERIFY(!reply.checkResult());
    // Judged, and answered, as bob.
    QCOMPARE(m_alice->sentCommands().value(0).gv("Wivora::sender"), QStringLiteral("bob"));
    QVERIFY(QFile::exists(m_files->docs() + "/pub/p.txt"));
}

void tst_PluginRoads::webRequestsAnswerOnTheServerLink()
{
    const auto published = m_alicePlugin->commandParser().engine()->addWebSharedFile(
        m_files->docs() + "/a.txt", QString(), QDateTime::currentDateTime().addSecs(3600));
    const KvrConfig asked = request(WFtpProtocol::WebCheckAccessible, {{"fileid", published->gv("section")}});
    m_alice->injectFromServer(asked);
    m_alice->waitIdle();
    const QList<KvrConfig> outbox = m_alice->serverOutbox();
    QCOMPARE(outbox.size(), 1);
    QCOMPARE(outbox[0].GetID(), asked.GetID());
    QCOMPARE(outbox[0].gv("command"), WFtpProtocol::WebCheckAccessible);
    QCOMPARE(outbox[0].gv("filename"), QStringLiteral("a.txt"));
    QVERIFY(outbox[0].checkResult());
    QVERIFY(m_alice->sentCommands().isEmpty());
}

void tst_PluginRoads::unauthenticatedRequestsGetNothing()
{
    m_bob->setUnauthenticated(true);
    const QList<KvrConfig> attempts = {
        request(WFtpProtocol::GetSharedFolders, {{"user", "alice"}}),
        request(WFtpProtocol::ListDirectory, {{"user", "alice"}, {"path", "vls/alice/docs/root"}}),
        request(WFtpProtocol::DeleteFiles, {{"user", "alice"}, {"files", "vls/alice/docs/root/a.txt|"}}),
        request(WFtpProtocol::OpenFile, {{"path", "vls/alice/docs/root/a.txt"}}),
    };
    const QByteArray before = m_files->outsideState(true);
    for (const KvrConfig &attempt : attempts)
        m_bob->sendCommand(attempt, "alice", false, QString());
    m_alice->waitIdle();
    QVERIFY(m_alice->sentCommands().isEmpty());
    QVERIFY(m_alice->serverOutbox().isEmpty());
    QCOMPARE(m_alicePlugin->commandParser().engine()->openedFileCount(), 0);
    QCOMPARE(m_files->outsideState(true), before);
    // The parser's own answer, had anyone to receive it, is a refusal.
    for (const KvrConfig &attempt : attempts)
        QVERIFY(!m_alicePlugin->commandParser().PerformCommand(attempt).checkResult());
}

void tst_PluginRoads::thumbnailsFollowTheListing()
{
    QImage tall(40, 80, QImage::Format_RGB32);
    tall.fill(Qt::red);
    QVERIFY(tall.save(m_files->docs() + "/pub/tall.png"));
    m_bob->addContact("alice");
    QSignalSpy shown(&m_bobPlugin->controller(), &WFtpMain::fileThumbnail);
    // "user" names someone else: the pictures still go to the link's user.
    const KvrConfig reply = ask(*m_bob, request(WFtpProtocol::ListDirectory, {{"user", "erin"},
        {"path", "vls/alice/docs/pub"}, {"getThumbnails", "true"}}));
    QVERIFY(reply.checkResult());
    m_alicePlugin->commandParser().engine()->thumbnailScheduler().waitForDone();
    m_bob->waitIdle();
    QList<KvrConfig> pushes;
    const QList<KvrConfig> sent = m_alice->sentCommands();
    for (int i = 0; i < sent.size(); ++i) {
        if (sent[i].gv("command") == WFtpProtocol::ThumbnailPush) {
            pushes << sent[i];
            QCOMPARE(m_alice->sentRoutes().at(i), qMakePair(QStringLiteral("bob"), QStringLiteral("link-bob-alice")));
        }
    }
    QCOMPARE(pushes.size(), 1);
    QCOMPARE(pushes[0].gv("path"), QStringLiteral("vls/alice/docs/pub"));
    WDataStructure row;
    QVERIFY(row.DeserializeStructure(pushes[0].gv("thumbnail")));
    QCOMPARE(row.gv("Name"), QStringLiteral("tall.png"));
    QCOMPARE(QImage::fromData(row.GetValue("thumbnail"), "JPG").size(), QSize(100, 100));
    // bob's plug-in shows it.
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0][0].toString(), QStringLiteral("vls/alice/docs/pub"));
    QCOMPARE(shown[0][1].toString(), QStringLiteral("tall.png"));
    QCOMPARE(shown[0][2].value<QImage>().size(), QSize(100, 100));
}

void tst_PluginRoads::hostilePeer_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("keys"); // key, value, key, value...
    QTest::addColumn<QString>("openFirst"); // a file the sender opens before; its id replaces "<id>"

    const QStringList dotted = {
        "../alice/docs/root/a.txt", "vls/../docs/root/a.txt", "vls/alice/../root/a.txt",
        "vls/alice/docs/../outside/secret.txt", "vls/alice/docs/root/../../outside/secret.txt",
        "vls/alice/docs/pub/../a.txt", "vls/alice/docs/pub/../../../outside", "vls/alice/docs/root/..",
    };
    for (const QString &path : dotted) {
        const QByteArray tag = path.toLatin1();
        QTest::newRow("list " + tag) << "erin" << WFtpProtocol::ListDirectory << QStringList{"user", "erin", "path", path} << "";
        QTest::newRow("open " + tag) << "erin" << WFtpProtocol::OpenFile << QStringList{"path", path} << "";
        QTest::newRow("check " + tag) << "erin" << WFtpProtocol::CheckFileExist << QStringList{"path", path} << "";
        QTest::newRow("delete " + tag) << "erin" << WFtpProtocol::DeleteFiles << QStringList{"user", "erin", "files", path + "|"} << "";
        QTest::newRow("mkdir in " + tag) << "erin" << WFtpProtocol::CreateDirectory
                                         << QStringList{"user", "erin", "path", path, "folderName", "x"} << "";
        QTest::newRow("rename to " + tag) << "erin" << WFtpProtocol::RenameFile
                                          << QStringList{"user", "erin", "oldName", "vls/alice/docs/pub/p.txt", "newName", path} << "";
    }
    QTest::newRow("mkdir named ..") << "erin" << WFtpProtocol::CreateDirectory
                                    << QStringList{"user", "erin", "path", "vls/alice/docs/pub", "folderName", "../../x"} << "";
    QTest::newRow("open link out") << "erin" << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/root/out/secret.txt"} << "";
    QTest::newRow("open file link out") << "erin" << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/pub/secret-link"} << "";
    QTest::newRow("create through link") << "erin" << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/root/out/new.txt"} << "";
    QTest::newRow("list link out") << "erin" << WFtpProtocol::ListDirectory << QStringList{"user", "erin", "path", "vls/alice/docs/root/out"} << "";
    QTest::newRow("delete through link") << "erin" << WFtpProtocol::DeleteFiles << QStringList{"user", "erin", "files", "vls/alice/docs/root/out/secret.txt|"} << "";
    QTest::newRow("rename link target") << "erin" << WFtpProtocol::RenameFile
                                        << QStringList{"user", "erin", "oldName", "vls/alice/docs/root/out/secret.txt", "newName", "vls/alice/docs/pub/s"} << "";
    QTest::newRow("rename into link") << "erin" << WFtpProtocol::RenameFile
                                      << QStringList{"user", "erin", "oldName", "vls/alice/docs/pub/p.txt", "newName", "vls/alice/docs/root/out/p.txt"} << "";
    QTest::newRow("delete share base") << "erin" << WFtpProtocol::DeleteFiles << QStringList{"user", "erin", "files", "vls/alice/docs/pub|"} << "";
    QTest::newRow("rename share base") << "erin" << WFtpProtocol::RenameFile
                                       << QStringList{"user", "erin", "oldName", "vls/alice/docs/pub", "newName", "vls/alice/docs/root/pub2"} << "";
    QTest::newRow("rights user in record") << "bob" << WFtpProtocol::DeleteFiles
                                           << QStringList{"user", "alice", "Wivora::sender", "alice", "files", "vls/alice/docs/pub/p.txt|"} << "";
    QTest::newRow("magic web user in record") << "bob" << WFtpProtocol::CreateDirectory
                                              << QStringList{"user", "webdownload", "path", "vls/alice/docs/pub", "folderName", "x"} << "";
    QTest::newRow("WebLocal from a peer") << "bob" << WFtpProtocol::WebCheckAccessible << QStringList{"fileid", "<web>"} << "";
    QTest::newRow("WebLocal open from a peer") << "bob" << WFtpProtocol::WebOpenFile << QStringList{"fileid", "<web>"} << "";
    QTest::newRow("unknown folder") << "erin" << WFtpProtocol::ListDirectory << QStringList{"user", "erin", "path", "vls/alice/docs/nosuch"} << "";
    QTest::newRow("unknown folder open") << "erin" << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/nosuch/a.txt"} << "";
    QTest::newRow("huge count") << "bob" << WFtpProtocol::ReadFile << QStringList{"fileID", "<id>", "from", "0", "count", "1099511627776"} << "pub/p.txt";
    QTest::newRow("negative from") << "bob" << WFtpProtocol::ReadFile << QStringList{"fileID", "<id>", "from", "-4", "count", "4"} << "pub/p.txt";
    QTest::newRow("negative write offset") << "erin" << WFtpProtocol::WriteFile << QStringList{"fileID", "<id>", "from", "-4", "data", "xx"} << "pub/p.txt";
    QTest::newRow("read-only grantee writes") << "bob" << WFtpProtocol::WriteFile << QStringList{"fileID", "<id>", "data", "xx"} << "pub/p.txt";
    QTest::newRow("read-only grantee truncates") << "bob" << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/pub/p.txt", "mode", "w"} << "";
    QTest::newRow("read-only grantee creates") << "bob" << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/pub/junk"} << "";
    QTest::newRow("read-only grantee mkdir") << "bob" << WFtpProtocol::CreateDirectory << QStringList{"user", "bob", "path", "vls/alice/docs/pub", "folderName", "x"} << "";
    QTest::newRow("read-only grantee renames") << "bob" << WFtpProtocol::RenameFile
                                               << QStringList{"user", "bob", "oldName", "vls/alice/docs/pub/p.txt", "newName", "vls/alice/docs/pub/q"} << "";
    QTest::newRow("read-only grantee deletes") << "bob" << WFtpProtocol::DeleteFiles << QStringList{"user", "bob", "files", "vls/alice/docs/pub/p.txt|"} << "";
    QTest::newRow("foreign file id") << "carol" << WFtpProtocol::WriteFile << QStringList{"fileID", "<id>", "data", "xx"} << "pub/p.txt";
    QTest::newRow("expired grant lists") << "carol" << WFtpProtocol::ListDirectory << QStringList{"user", "carol", "path", "vls/alice/docs/pub"} << "";
    QTest::newRow("expired grant opens") << "carol" << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/pub/p.txt"} << "";
    QTest::newRow("expired grant deletes") << "carol" << WFtpProtocol::DeleteFiles << QStringList{"user", "carol", "files", "vls/alice/docs/pub/p.txt|"} << "";
    QTest::newRow("stranger") << "carol" << WFtpProtocol::CheckFileExist << QStringList{"path", "vls/alice/docs/root/a.txt"} << "";
}

void tst_PluginRoads::hostilePeer()
{
    QFETCH(QString, sender);
    QFETCH(QString, command);
    QFETCH(QStringList, keys);
    QFETCH(QString, openFirst);
    TestHost &from = sender == "bob" ? *m_bob : sender == "carol" ? *m_carol : *m_erin;
    WFtpEngine &engine = *m_alicePlugin->commandParser().engine();
    QString openId;
    if (!openFirst.isEmpty()) {
        // The file is open, by the row's own sender unless that is the attack.
        openId = engine.openFile("vls/alice/docs/" + openFirst, sender == "carol" ? "erin" : sender);
        QVERIFY(!openId.isEmpty());
    }
    const auto published = engine.addWebSharedFile(m_files->docs() + "/a.txt", QString(),
                                                   QDateTime::currentDateTime().addSecs(3600));
    const int openBefore = engine.openedFileCount();
    const QByteArray before = m_files->outsideState(true);

    KvrConfig attack = request(command, {});
    for (int i = 0; i + 1 < keys.size(); i += 2) {
        QString value = keys[i + 1];
        value.replace("<id>", openId).replace("<web>", published->gv("section"));
        attack.sv(keys[i], value);
    }
    from.sendCommand(attack, "alice", false, QString());
    m_alice->waitIdle();
    const KvrConfig reply = from.takeInputCommand(attack.GetID());

    if (command.startsWith(WFtpProtocol::WebLocalPrefix)) {
        QVERIFY(reply.isEmpty());
        QVERIFY(m_alice->serverOutbox().isEmpty());
    } else {
        QVERIFY(!reply.isEmpty());
        QVERIFY(!reply.checkResult());
        QVERIFY(!reply.CheckKeyExist("fileID"));
        QVERIFY(!reply.CheckKeyExist("list"));
        QVERIFY(reply.GetValue("data").isEmpty());
    }
    QVERIFY(!reply.SerializeConfigBinary().contains("secret"));
    QCOMPARE(engine.openedFileCount(), openBefore);
    QCOMPARE(m_files->outsideState(true), before);
}

void tst_PluginRoads::tenThousandOpens()
{
    WFtpEngine &engine = *m_alicePlugin->commandParser().engine();
    QStringList ids;
    for (int i = 0; i < 10000; ++i) {
        const KvrConfig reply = m_alicePlugin->commandParser().PerformCommand([&] {
            KvrConfig open = request(WFtpProtocol::OpenFile, {{"path", "vls/alice/docs/pub/p.txt"}});
            open.sv("Wivora::sender", "bob");
            open.sv("Wivora::connection", "0");
            open.sv("Wivora::connectionID", "link-1");
            return open;
        }());
        if (reply.checkResult())
            ids << reply.gv("fileID");
    }
    QCOMPARE(ids.size(), OpenedFileTable::MaxPerOpener);
    QCOMPARE(engine.openedFileCount(), OpenedFileTable::MaxPerOpener);
    // Others are not locked out by bob.
    QVERIFY(!engine.openFile("vls/alice/docs/pub/p.txt", "erin").isEmpty());
}

WIVORA_TEST_GUILESS_MAIN(tst_PluginRoads)
#include "tst_PluginRoads.moc"
