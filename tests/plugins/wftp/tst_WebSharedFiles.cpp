// Files published on the web and the "WebLocal::wftp:::" requests that serve them.
#include "QtTestSuite.h"
#include "ShareFixture.h"

#include <CommandParser.h>
#include <WFtpProtocol.h>

#include <QtTest>

class tst_WebSharedFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void publishing();
    void accessibility_data();
    void accessibility();
    void passwords_data();
    void passwords();
    void downloadReassemblesInPieces();
    void readOnlyFileDownloads();
    void expiryCountsBeforeTheSweep();
    void sweepSavesOnlyWhenItRemoved();
    void webRequestFromAPeerIsRefused();
    void webReadsOnlyWebOpenedFiles();
    void readRangesAreChecked_data();
    void readRangesAreChecked();

private:
    KvrConfig web(const QString &command, const QMap<QString, QString> &keys) const;
    KvrConfig ask(const QString &command, const QMap<QString, QString> &keys);
    QString publish(const QString &path, const QString &password, int validSeconds = 3600);

    std::unique_ptr<ShareFixture> m_fixture;
    std::unique_ptr<CommandParser> m_parser;
};

void tst_WebSharedFiles::init()
{
    m_fixture = std::make_unique<ShareFixture>();
    m_parser = std::make_unique<CommandParser>();
    m_parser->engine()->setAccountProvider(m_fixture->provider);
    m_parser->engine()->setClock([this] { return m_fixture->nowMs.load(); });
}

KvrConfig tst_WebSharedFiles::web(const QString &command, const QMap<QString, QString> &keys) const
{
    KvrConfig request;
    request.SetID();
    request.sv(WFtpProtocol::KeyCommand, command);
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        request.sv(it.key(), it.value());
    return request;
}

KvrConfig tst_WebSharedFiles::ask(const QString &command, const QMap<QString, QString> &keys)
{
    const KvrConfig request = web(command, keys);
    const KvrConfig reply = m_parser->PerformCommand(request);
    // Web replies keep the request's name and carry no routing keys.
    if (reply.GetID() != request.GetID() || reply.gv("command") != command || reply.CheckKeyExist("Wivora::sender"))
        return KvrConfig();
    return reply;
}

QString tst_WebSharedFiles::publish(const QString &path, const QString &password, int validSeconds)
{
    const QDateTime until = QDateTime::fromMSecsSinceEpoch(m_fixture->nowMs).addSecs(validSeconds);
    const auto record = m_parser->engine()->addWebSharedFile(path, password, until);
    return record ? record->gv("section") : QString();
}

void tst_WebSharedFiles::publishing()
{
    const int saves = m_fixture->provider->saves;
    const QString first = publish(m_fixture->docs() + "/a.txt", QString());
    const QString second = publish(m_fixture->docs() + "/a.txt", QString());
    QVERIFY(!QUuid::fromString(first).isNull());
    QVERIFY(first.startsWith('{') && first.endsWith('}'));
    QVERIFY(first != second);
    QVERIFY(publish(m_fixture->docs() + "/none", QString()).isEmpty());
    QCOMPARE(m_parser->engine()->getWebSharedFiles()->childCount(), 2);
    QCOMPARE(m_fixture->provider->saves.load(), saves);
    QVERIFY(m_parser->engine()->deleteWebSharedFile(first));
    QVERIFY(!m_parser->engine()->getWebSharedFile(first));
    QVERIFY(!m_parser->engine()->deleteWebSharedFile(first));
}

void tst_WebSharedFiles::accessibility_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("removeFile");
    QTest::addColumn<QString>("passwordRequired"); // empty: not accessible
    QTest::newRow("open") << "" << false << "false";
    QTest::newRow("with password") << "s3cret" << false << "true";
    QTest::newRow("file gone") << "" << true << "";
}

void tst_WebSharedFiles::accessibility()
{
    QFETCH(QString, password);
    QFETCH(bool, removeFile);
    QFETCH(QString, passwordRequired);
    const QString id = publish(m_fixture->docs() + "/a.txt", password);
    if (removeFile)
        QVERIFY(QFile::remove(m_fixture->docs() + "/a.txt"));
    const KvrConfig reply = ask(WFtpProtocol::WebCheckAccessible, {{"fileid", id}});
    QCOMPARE(reply.checkResult(), !passwordRequired.isEmpty());
    QCOMPARE(reply.gv("passwordRequired"), passwordRequired);
    QCOMPARE(reply.gv("filename"), passwordRequired.isEmpty() ? QString() : QStringLiteral("a.txt"));
    QVERIFY(!ask(WFtpProtocol::WebCheckAccessible, {{"fileid", ""}}).checkResult());
    QVERIFY(!ask(WFtpProtocol::WebCheckAccessible, {{"fileid", QUuid::createUuid().toString()}}).checkResult());
}

void tst_WebSharedFiles::passwords_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("given");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("none stored, any given") << "" << "whatever" << true;
    QTest::newRow("equal") << "Pa55" << "Pa55" << true;
    QTest::newRow("case differs") << "Pa55" << "pa55" << false;
    QTest::newRow("prefix") << "Pa55" << "Pa5" << false;
    QTest::newRow("empty given") << "Pa55" << "" << false;
}

void tst_WebSharedFiles::passwords()
{
    QFETCH(QString, stored);
    QFETCH(QString, given);
    QFETCH(bool, accepted);
    const QString id = publish(m_fixture->docs() + "/a.txt", stored);
    QCOMPARE(ask(WFtpProtocol::WebCheckPassword, {{"fileid", id}, {"password", given}}).checkResult(), accepted);
    const KvrConfig opened = ask(WFtpProtocol::WebOpenFile, {{"fileid", id}, {"password", given}});
    QCOMPARE(opened.checkResult(), accepted);
    QCOMPARE(opened.CheckKeyExist("openid"), accepted);
    QCOMPARE(m_parser->engine()->openedFileCount(), accepted ? 1 : 0);
}

void tst_WebSharedFiles::downloadReassemblesInPieces()
{
    QByteArray content(1024 * 1024 + 123, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(QRandomGenerator::global()->generate());
    QVERIFY(ShareFixture::writeFile(m_fixture->docs() + "/big.bin", content));
    const QString id = publish(m_fixture->docs() + "/big.bin", "pw");

    const KvrConfig opened = ask(WFtpProtocol::WebOpenFile, {{"fileid", id}, {"password", "pw"}});
    QVERIFY(opened.checkResult());
    QCOMPARE(opened.gv("filesize"), QString::number(content.size()));
    const QString openId = opened.gv("openid");
    QByteArray received;
    for (qint64 from = 0;; from += 262144) {
        const KvrConfig piece = ask(WFtpProtocol::WebReadFile, {{"openid", openId}, {"from", QString::number(from)},
                                                               {"count", "262144"}});
        QVERIFY(piece.checkResult());
        const auto decoded = QByteArray::fromBase64Encoding(piece.GetValue("data"), QByteArray::AbortOnBase64DecodingErrors);
        QVERIFY(decoded);
        QVERIFY(decoded.decoded.size() <= 262144);
        if (decoded.decoded.isEmpty())
            break;
        received += decoded.decoded;
    }
    QCOMPARE(QCryptographicHash::hash(received, QCryptographicHash::Sha256),
             QCryptographicHash::hash(content, QCryptographicHash::Sha256));
    QVERIFY(ask(WFtpProtocol::WebCloseFile, {{"openid", openId}}).checkResult());
    QVERIFY(!ask(WFtpProtocol::WebCloseFile, {{"openid", openId}}).checkResult());
    QCOMPARE(m_parser->engine()->openedFileCount(), 0);
}

void tst_WebSharedFiles::readOnlyFileDownloads()
{
    const QString path = m_fixture->outside() + "/secret.txt";
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QString id = publish(path, QString());
    const KvrConfig opened = ask(WFtpProtocol::WebOpenFile, {{"fileid", id}});
    QVERIFY(opened.checkResult());
    const KvrConfig piece = ask(WFtpProtocol::WebReadFile, {{"openid", opened.gv("openid")}, {"from", "0"}, {"count", "100"}});
    QCOMPARE(QByteArray::fromBase64(piece.GetValue("data")), QByteArray("secret"));
}

void tst_WebSharedFiles::expiryCountsBeforeTheSweep()
{
    const QString id = publish(m_fixture->docs() + "/a.txt", QString(), 60);
    const KvrConfig opened = ask(WFtpProtocol::WebOpenFile, {{"fileid", id}});
    QVERIFY(opened.checkResult());
    m_fixture->nowMs += 61 * 1000;
    QVERIFY(!ask(WFtpProtocol::WebCheckAccessible, {{"fileid", id}}).checkResult());
    QVERIFY(!ask(WFtpProtocol::WebCheckPassword, {{"fileid", id}}).checkResult());
    QVERIFY(!ask(WFtpProtocol::WebOpenFile, {{"fileid", id}}).checkResult());
    // A download under way stops too.
    QVERIFY(!ask(WFtpProtocol::WebReadFile, {{"openid", opened.gv("openid")}, {"from", "0"}, {"count", "5"}}).checkResult());
    QVERIFY(m_parser->engine()->getWebSharedFile(id)); // still recorded until the sweep
}

void tst_WebSharedFiles::sweepSavesOnlyWhenItRemoved()
{
    publish(m_fixture->docs() + "/a.txt", QString(), 60);
    const QString lasting = publish(m_fixture->docs() + "/a.txt", QString(), 3600);
    int saves = m_fixture->provider->saves;
    m_parser->engine()->clearOverdueWebFiles();
    QCOMPARE(m_fixture->provider->saves.load(), saves);
    m_fixture->nowMs += 61 * 1000;
    m_parser->engine()->clearOverdueWebFiles();
    QCOMPARE(m_fixture->provider->saves.load(), saves + 1);
    QCOMPARE(m_parser->engine()->getWebSharedFiles()->childCount(), 1);
    QVERIFY(m_parser->engine()->getWebSharedFile(lasting));
}

void tst_WebSharedFiles::webRequestFromAPeerIsRefused()
{
    const QString id = publish(m_fixture->docs() + "/a.txt", QString());
    KvrConfig request = web(WFtpProtocol::WebOpenFile, {{"fileid", id}});
    request.sv("Wivora::sender", "bob");
    request.sv("Wivora::connection", "0");
    request.sv("Wivora::connectionID", "link-1");
    const KvrConfig reply = m_parser->PerformCommand(request);
    QVERIFY(!reply.checkResult());
    QVERIFY(!reply.CheckKeyExist("openid"));
    QCOMPARE(m_parser->engine()->openedFileCount(), 0);
}

void tst_WebSharedFiles::webReadsOnlyWebOpenedFiles()
{
    m_fixture->grant("bob", "root", {"1"});
    const QString peerFile = m_parser->engine()->openFile(ShareFixture::vpath("root/a.txt"), "bob");
    QVERIFY(!peerFile.isEmpty());
    QVERIFY(!ask(WFtpProtocol::WebReadFile, {{"openid", peerFile}, {"from", "0"}, {"count", "5"}}).checkResult());
    QVERIFY(!ask(WFtpProtocol::WebCloseFile, {{"openid", peerFile}}).checkResult());
    QVERIFY(m_parser->engine()->isFileOpen(peerFile, FileOpener::peer("bob")));
    QVERIFY(!ask(WFtpProtocol::WebReadFile, {{"from", "0"}, {"count", "5"}}).checkResult());
}

void tst_WebSharedFiles::readRangesAreChecked_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("count");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("piece") << "1" << "3" << true << QByteArray("lph");
    QTest::newRow("past the end") << "99" << "3" << true << QByteArray();
    QTest::newRow("negative from") << "-1" << "3" << false << QByteArray();
    QTest::newRow("negative count") << "0" << "-3" << false << QByteArray();
    QTest::newRow("huge count") << "0" << "1099511627776" << false << QByteArray();
    QTest::newRow("web piece size") << "0" << "262144" << true << QByteArray("alpha");
}

void tst_WebSharedFiles::readRangesAreChecked()
{
    QFETCH(QString, from);
    QFETCH(QString, count);
    QFETCH(bool, answered);
    QFETCH(QByteArray, data);
    const QString id = publish(m_fixture->docs() + "/a.txt", QString());
    const QString openId = ask(WFtpProtocol::WebOpenFile, {{"fileid", id}}).gv("openid");
    const KvrConfig piece = ask(WFtpProtocol::WebReadFile, {{"openid", openId}, {"from", from}, {"count", count}});
    QCOMPARE(piece.checkResult(), answered);
    QCOMPARE(QByteArray::fromBase64(piece.GetValue("data")), data);
}

WIVORA_TEST_GUILESS_MAIN(tst_WebSharedFiles)
#include "tst_WebSharedFiles.moc"
