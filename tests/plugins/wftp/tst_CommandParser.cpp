// The request server's answers: names, keys and results of every request.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <CommandParser.h>
#include <WFtpProtocol.h>

#include <QtTest>

class tst_CommandParser : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void replyShape_data();
    void replyShape();
    void namesThatAreNotRequests_data();
    void namesThatAreNotRequests();
    void requiredKeys_data();
    void requiredKeys();
    void thumbnailsOnlyForExactTrue();
    void largeOffsetsReadAtThatOffset();
    void openModes_data();
    void openModes();

private:
    KvrConfig peer(const QString &command, const QMap<QString, QString> &keys, const QString &sender = "bob") const;

    std::unique_ptr<ShareFixture> m_files;
    std::unique_ptr<CommandParser> m_parser;
    QStringList m_thumbnailRequests;
};

void tst_CommandParser::init()
{
    m_files = std::make_unique<ShareFixture>();
    m_parser = std::make_unique<CommandParser>();
    m_parser->engine()->setAccountProvider(m_files->provider);
    m_thumbnailRequests.clear();
    m_parser->setThumbnailSink([this](const KvrConfig &request, const QString &, const QString &) {
        m_thumbnailRequests << request.GetID();
    });
    for (const char *folder : {"root", "pub"})
        m_files->engine.addPermittedUser(ShareFixture::record("bob", {"0", "0", "0", "1"}), m_files->disc, folder);
}

void tst_CommandParser::cleanup()
{
    m_parser->engine()->thumbnailScheduler().waitForDone();
}

KvrConfig tst_CommandParser::peer(const QString &command, const QMap<QString, QString> &keys, const QString &sender) const
{
    KvrConfig request;
    request.SetID();
    request.sv("command", command);
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        request.sv(it.key(), it.value());
    request.sv("Wivora::sender", sender);
    request.sv("Wivora::connection", "1");
    request.sv("Wivora::connectionID", "link-7");
    return request;
}

void tst_CommandParser::replyShape_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("keys");       // key, value, ...; "<id>" is a file bob opened
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("payload");    // keys present besides the common ones
    const QString p = "vls/alice/docs/pub/p.txt";
    QTest::newRow("getSharedFolders") << WFtpProtocol::GetSharedFolders << QStringList{"user", "bob"} << true << QStringList{"discs"};
    QTest::newRow("listDirectory") << WFtpProtocol::ListDirectory << QStringList{"user", "bob", "path", "vls/alice/docs/pub"} << true << QStringList{"list"};
    QTest::newRow("listDirectory missing") << WFtpProtocol::ListDirectory << QStringList{"user", "bob", "path", "vls/alice/docs/pub/none"} << false << QStringList{};
    QTest::newRow("listDirectory of a file") << WFtpProtocol::ListDirectory << QStringList{"user", "bob", "path", p} << false << QStringList{};
    QTest::newRow("createDirectory") << WFtpProtocol::CreateDirectory << QStringList{"user", "bob", "path", "vls/alice/docs/pub", "folderName", "n"} << true << QStringList{};
    QTest::newRow("renameFile") << WFtpProtocol::RenameFile << QStringList{"user", "bob", "oldName", p, "newName", "vls/alice/docs/pub/q"} << true << QStringList{};
    QTest::newRow("deleteFiles") << WFtpProtocol::DeleteFiles << QStringList{"user", "bob", "files", p + "|"} << true << QStringList{};
    QTest::newRow("deleteFiles separators only") << WFtpProtocol::DeleteFiles << QStringList{"user", "bob", "files", "||"} << false << QStringList{};
    QTest::newRow("checkFileExist") << WFtpProtocol::CheckFileExist << QStringList{"user", "carol", "path", p} << true << QStringList{};
    QTest::newRow("openFile") << WFtpProtocol::OpenFile << QStringList{"path", p} << true << QStringList{"fileID"};
    QTest::newRow("openFile missing folder") << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/pub/x/y"} << false << QStringList{};
    QTest::newRow("readFile") << WFtpProtocol::ReadFile << QStringList{"fileID", "<id>", "from", "1", "count", "3"} << true << QStringList{"data", "binary"};
    QTest::newRow("readFile not open") << WFtpProtocol::ReadFile << QStringList{"fileID", "{nope}", "from", "0", "count", "3"} << true << QStringList{"data", "binary"};
    QTest::newRow("readFile words") << WFtpProtocol::ReadFile << QStringList{"fileID", "<id>", "from", "x", "count", "y"} << true << QStringList{"data", "binary"};
    QTest::newRow("writeFile") << WFtpProtocol::WriteFile << QStringList{"fileID", "<id>", "data", "xy", "binary", "true"} << true << QStringList{};
    QTest::newRow("closeFile") << WFtpProtocol::CloseFile << QStringList{"fileID", "<id>"} << true << QStringList{};
    QTest::newRow("closeFile unknown") << WFtpProtocol::CloseFile << QStringList{"fileID", "{nope}"} << false << QStringList{};
    QTest::newRow("sizeFile") << WFtpProtocol::SizeFile << QStringList{"fileID", "<id>"} << true << QStringList{"size"};
    QTest::newRow("sizeFile unknown") << WFtpProtocol::SizeFile << QStringList{"fileID", "{nope}"} << true << QStringList{"size"};
    QTest::newRow("isFileOpen") << WFtpProtocol::IsFileOpen << QStringList{"fileID", "<id>"} << true << QStringList{};
}

void tst_CommandParser::replyShape()
{
    QFETCH(QString, command);
    QFETCH(QStringList, keys);
    QFETCH(bool, result);
    QFETCH(QStringList, payload);
    const QString fileId = m_parser->engine()->openFile("vls/alice/docs/pub/p.txt", "bob");
    QMap<QString, QString> values;
    for (int i = 0; i + 1 < keys.size(); i += 2)
        values.insert(keys[i], QString(keys[i + 1]).replace("<id>", fileId));
    const KvrConfig request = peer(command, values);
    const KvrConfig reply = m_parser->PerformCommand(request);

    QCOMPARE(reply.GetValue("ID"), request.GetValue("ID"));
    QCOMPARE(reply.gv("command"), command + ":callback");
    QCOMPARE(reply.gv("Wivora::sender"), QStringLiteral("bob"));
    QCOMPARE(reply.gv("Wivora::connection"), QStringLiteral("1"));
    QVERIFY(!reply.CheckKeyExist("Wivora::connectionID"));
    QCOMPARE(reply.checkResult(), result);
    QStringList extra;
    for (int i = 0; i < reply.size(); ++i) {
        const QString key = reply.GetKey(i);
        if (!QStringList{"ID", "command", "Wivora::sender", "Wivora::connection", "result"}.contains(key))
            extra << key;
    }
    extra.sort();
    payload.sort();
    QCOMPARE(extra, payload);
    if (command == WFtpProtocol::ReadFile && keys.contains("1"))
        QCOMPARE(reply.GetValue("data"), QByteArray("ubl"));
    if (command == WFtpProtocol::ReadFile && keys.contains("x"))
        QCOMPARE(reply.GetValue("data"), QByteArray()); // "from" 0, "count" 0
    if (command == WFtpProtocol::SizeFile)
        QCOMPARE(reply.gv("size"), values.value("fileID") == fileId ? QStringLiteral("6") : QStringLiteral("-1"));
    if (command == WFtpProtocol::GetSharedFolders)
        QCOMPARE(reply.gv("discs"), QStringLiteral("vls/alice/docs/pub|vls/alice/docs/root|"));
}

void tst_CommandParser::namesThatAreNotRequests_data()
{
    QTest::addColumn<QString>("command");
    QTest::newRow("other case") << "WFTP:::listDirectory";
    QTest::newRow("unknown") << "wftp:::foo";
    QTest::newRow("handler's own name") << "mkDir";
    QTest::newRow("reply name") << "wftp:::listDirectory:callback";
    QTest::newRow("web name other case") << "weblocal::wftp:::openFile";
}

void tst_CommandParser::namesThatAreNotRequests()
{
    QFETCH(QString, command);
    const KvrConfig reply = m_parser->PerformCommand(
        peer(command, {{"user", "bob"}, {"path", "vls/alice/docs/pub"}, {"folderName", "x"}}));
    QVERIFY(!reply.checkResult());
    QCOMPARE(reply.gv("command"), command + ":callback");
    QCOMPARE(reply.size(), 5);
    QVERIFY(!QFileInfo::exists(m_files->docs() + "/pub/x"));
}

void tst_CommandParser::requiredKeys_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("keys");
    QTest::newRow("list without user") << WFtpProtocol::ListDirectory << QStringList{"path", "vls/alice/docs/pub", "getThumbnails", "true"};
    QTest::newRow("list without path") << WFtpProtocol::ListDirectory << QStringList{"user", "bob"};
    QTest::newRow("mkdir without user") << WFtpProtocol::CreateDirectory << QStringList{"path", "vls/alice/docs/pub", "folderName", "n"};
    QTest::newRow("rename without user") << WFtpProtocol::RenameFile << QStringList{"oldName", "vls/alice/docs/pub/p.txt", "newName", "vls/alice/docs/pub/q"};
    QTest::newRow("delete without files") << WFtpProtocol::DeleteFiles << QStringList{"user", "bob"};
    QTest::newRow("open with unknown mode") << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/pub/p.txt", "mode", "a"};
    QTest::newRow("write at a word") << WFtpProtocol::WriteFile << QStringList{"fileID", "<id>", "from", "x", "data", "z"};
}

void tst_CommandParser::requiredKeys()
{
    QFETCH(QString, command);
    QFETCH(QStringList, keys);
    const QString fileId = m_parser->engine()->openFile("vls/alice/docs/pub/p.txt", "bob");
    QMap<QString, QString> values;
    for (int i = 0; i + 1 < keys.size(); i += 2)
        values.insert(keys[i], QString(keys[i + 1]).replace("<id>", fileId));
    const QByteArray before = m_files->outsideState(true);
    const KvrConfig reply = m_parser->PerformCommand(peer(command, values));
    QVERIFY(!reply.checkResult());
    QVERIFY(!reply.CheckKeyExist("list"));
    QCOMPARE(m_files->outsideState(true), before);
    QVERIFY(m_thumbnailRequests.isEmpty());
}

void tst_CommandParser::thumbnailsOnlyForExactTrue()
{
    QImage picture(20, 10, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QVERIFY(picture.save(m_files->docs() + "/pub/wide.jpg"));
    for (const char *flag : {"TRUE", "1", ""})
        QVERIFY(m_parser->PerformCommand(peer(WFtpProtocol::ListDirectory, {{"user", "bob"},
            {"path", "vls/alice/docs/pub"}, {"getThumbnails", flag}})).checkResult());
    const KvrConfig asked = peer(WFtpProtocol::ListDirectory, {{"user", "bob"}, {"path", "vls/alice/docs/pub"},
                                                               {"getThumbnails", "true"}});
    QVERIFY(m_parser->PerformCommand(asked).checkResult());
    m_parser->engine()->thumbnailScheduler().waitForDone();
    QCOMPARE(m_thumbnailRequests, QStringList{asked.GetID()});
}

void tst_CommandParser::largeOffsetsReadAtThatOffset()
{
    const QString local = m_files->docs() + "/pub/sparse.bin";
    {
        QFile sparse(local);
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.seek(qint64(1) << 32));
        QCOMPARE(sparse.write("tail"), qint64(4));
    }
    const QString id = m_parser->engine()->openFile("vls/alice/docs/pub/sparse.bin", "bob");
    const KvrConfig reply = m_parser->PerformCommand(
        peer(WFtpProtocol::ReadFile, {{"fileID", id}, {"from", "4294967296"}, {"count", "10"}}));
    QVERIFY(reply.checkResult());
    QCOMPARE(reply.GetValue("data"), QByteArray("tail"));
    QCOMPARE(m_parser->PerformCommand(peer(WFtpProtocol::SizeFile, {{"fileID", id}})).gv("size"),
             QString::number((qint64(1) << 32) + 4));
}

void tst_CommandParser::openModes_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("after"); // p.txt after writing "XY" at 0 through the file
    QTest::newRow("absent: read-write") << "" << QByteArray("XYblic");
    QTest::newRow("rw") << "rw" << QByteArray("XYblic");
    QTest::newRow("w: truncates") << "w" << QByteArray("XY");
    QTest::newRow("r: no writes") << "r" << QByteArray("public");
}

void tst_CommandParser::openModes()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, after);
    QMap<QString, QString> keys{{"path", "vls/alice/docs/pub/p.txt"}};
    if (!mode.isEmpty())
        keys.insert("mode", mode);
    const QString id = m_parser->PerformCommand(peer(WFtpProtocol::OpenFile, keys)).gv("fileID");
    QVERIFY(!id.isEmpty());
    m_parser->PerformCommand(peer(WFtpProtocol::WriteFile, {{"fileID", id}, {"from", "0"}, {"data", "XY"}}));
    QVERIFY(m_parser->PerformCommand(peer(WFtpProtocol::CloseFile, {{"fileID", id}})).checkResult());
    QCOMPARE(ShareFixture::readFile(m_files->docs() + "/pub/p.txt"), after);
}

WIVORA_TEST_GUILESS_MAIN(tst_CommandParser)
#include "tst_CommandParser.moc"
