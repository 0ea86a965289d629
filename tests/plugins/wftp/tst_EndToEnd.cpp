// The plug-in inside real clients of a real wivora-server: files published on
// the web download through the server's web site, and a contact's attacks on
// alice's shares arrive through the real links and are refused.
#include "FileBytes.h"
#include "QtTestSuite.h"
#include "AccountOnServer.h"
#include "E2eFixture.h"
#include "HttpTestClient.h"

#include <WFtpEngine.h>
#include <WFtpProtocol.h>

#include <QtTest>

#include <functional>

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void publishedFileDownloadsThroughTheWebSite();
    void hostileContact_data();
    void hostileContact();

private:
    // Changes user's account on the server through the engine, as the owner's
    // own client would before saving it.
    bool editAccount(const QString &user, const std::function<void(WFtpEngine &)> &edit);
    QUrl webFileUrl(const QString &user, const QString &id) const;

    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
    QTemporaryDir m_files;
    QString m_published;
    QString m_expired;
    QByteArray m_content;
};

bool tst_EndToEnd::editAccount(const QString &user, const std::function<void(WFtpEngine &)> &edit)
{
    return editAccountOnServer(m_fixture.server, user, E2eFixture::passwordOf(user), edit);
}

QUrl tst_EndToEnd::webFileUrl(const QString &user, const QString &id) const
{
    return QUrl(QStringLiteral("http://%1:%2/webfiles/%3/%4.html")
                    .arg(m_fixture.server.host())
                    .arg(m_fixture.server.httpPort())
                    .arg(user, id));
}

void tst_EndToEnd::initTestCase()
{
    QVERIFY(m_files.isValid());
    const QString docs = m_files.filePath("docs");
    QVERIFY(QDir().mkpath(docs + "/pub"));
    QVERIFY(QDir().mkpath(m_files.filePath("outside")));
    QVERIFY(writeBytes(docs + "/a.txt", "alpha"));
    QVERIFY(writeBytes(docs + "/pub/p.txt", "public"));
    QVERIFY(writeBytes(m_files.filePath("outside/secret.txt"), "secret"));
    QVERIFY(QFile::link(m_files.filePath("outside"), docs + "/out"));
    m_content = E2eFixture::randomBytes(700 * 1000);
    QVERIFY(writeBytes(docs + "/report.bin", m_content));

    QVERIFY(m_fixture.startService({"alice", "bob"}, {{"alice", "bob"}}));
    QVERIFY(editAccount("alice", [&](WFtpEngine &engine) {
        const QString disc = engine.addSharedDisc(docs, "docs");
        engine.addSharedFolder(disc, "/pub");
        for (const char *folder : {"root", "pub"}) {
            auto grant = QSharedPointer<WDataStructure>::create();
            grant->sv("section", "bob");
            grant->sv("read", "1");
            grant->sv("permanent", "1");
            engine.addPermittedUser(grant, disc, folder);
        }
        m_published = engine.addWebSharedFile(docs + "/report.bin", "pw", QDateTime::currentDateTime().addDays(1))
                          ->gv("section");
        m_expired = engine.addWebSharedFile(docs + "/a.txt", QString(), QDateTime::currentDateTime().addSecs(-60))
                        ->gv("section");
    }));

    m_alice = m_fixture.client("alice");
    m_bob = m_fixture.client("bob");
    QVERIFY(m_alice && m_bob);
    QVERIFY(m_alice->installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN)));
    QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
}

void tst_EndToEnd::publishedFileDownloadsThroughTheWebSite()
{
    const QUrl url = webFileUrl("alice", m_published);
    const QtAnswer form = qtExchange("GET", url);
    QCOMPARE(form.status, 200);
    QVERIFY(form.body.contains("password"));

    const QtAnswer wrong = qtExchange("POST", url, "password=PW", "application/x-www-form-urlencoded");
    QCOMPARE(wrong.status, 403);
    QVERIFY(!wrong.body.contains(m_content.left(64)));

    const QtAnswer download = qtExchange("POST", url, "password=pw", "application/x-www-form-urlencoded");
    QCOMPARE(download.status, 200);
    QCOMPARE(download.body.size(), m_content.size());
    QCOMPARE(QCryptographicHash::hash(download.body, QCryptographicHash::Sha256),
             QCryptographicHash::hash(m_content, QCryptographicHash::Sha256));
    QVERIFY(download.headers.value("content-disposition").contains("report.bin"));

    // The owner's client answered "no" for the expired file: not shared any more.
    const QtAnswer expired = qtExchange("GET", webFileUrl("alice", m_expired));
    QCOMPARE(expired.status, 404);
    QVERIFY(expired.body.contains("not shared"));
}

void tst_EndToEnd::hostileContact_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<bool>("answered"); // false: the record must not reach the plug-in at all
    QTest::addColumn<bool>("result");
    QTest::newRow("legitimate listing") << WFtpProtocol::ListDirectory
                                        << QStringList{"user", "bob", "path", "vls/alice/docs/pub"} << true << true;
    QTest::newRow("dotdot out of the share") << WFtpProtocol::ListDirectory
                                             << QStringList{"user", "bob", "path", "vls/alice/docs/root/../../outside"} << true << false;
    QTest::newRow("dotdot to read") << WFtpProtocol::OpenFile
                                    << QStringList{"path", "vls/alice/docs/pub/../../outside/secret.txt"} << true << false;
    QTest::newRow("link out of the share") << WFtpProtocol::OpenFile
                                           << QStringList{"path", "vls/alice/docs/root/out/secret.txt"} << true << false;
    QTest::newRow("owner named inside") << WFtpProtocol::DeleteFiles
                                        << QStringList{"user", "alice", "Wivora::sender", "alice", "files", "vls/alice/docs/pub/p.txt|"}
                                        << true << false;
    QTest::newRow("unknown folder") << WFtpProtocol::CheckFileExist << QStringList{"path", "vls/alice/docs/nosuch/a.txt"} << true << false;
    QTest::newRow("read-only grantee creates") << WFtpProtocol::OpenFile << QStringList{"path", "vls/alice/docs/pub/junk"} << true << false;
    QTest::newRow("WebLocal from a peer") << WFtpProtocol::WebOpenFile << QStringList{"fileid", "<web>"} << false << false;
}

void tst_EndToEnd::hostileContact()
{
    QFETCH(QString, command);
    QFETCH(QStringList, keys);
    QFETCH(bool, answered);
    QFETCH(bool, result);
    KvrConfig attack = E2eFixture::newRecord(command);
    for (int i = 0; i + 1 < keys.size(); i += 2)
        attack.sv(keys[i], QString(keys[i + 1]).replace("<web>", m_published));
    const QString docs = m_files.filePath("docs");

    // A record the core drops never comes back: a short wait tells.
    const KvrConfig reply = m_bob->probe().request("alice", attack, false, QString(), answered ? 30000 : 3000);
    QCOMPARE(!reply.isEmpty(), answered);
    if (answered) {
        QCOMPARE(reply.gv("command"), command + ":callback");
        QCOMPARE(reply.checkResult(), result);
    }
    QVERIFY(!reply.SerializeConfigBinary().contains("secret"));
    QCOMPARE(fileBytes(m_files.filePath("outside/secret.txt")), QByteArray("secret"));
    QCOMPARE(fileBytes(docs + "/pub/p.txt"), QByteArray("public"));
    QVERIFY(!QFile::exists(docs + "/pub/junk"));
    QCOMPARE(QDir(m_files.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 2);
}

WIVORA_TEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_EndToEnd.moc"
