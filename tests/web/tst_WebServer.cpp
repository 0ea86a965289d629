#include "QtTestSuite.h"
#include "RandomBytes.h"
#include "HttpTestClient.h"
#include "WebServer.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The body a client posts for one dump.
QByteArray crashReportBody(const QByteArray &dump)
{
    return "dumpdata=" + dump.toBase64().replace("+", "{p}") + "&ver=1.0021&platform=linux";
}

QByteArray crashReportRequest(const QByteArray &dump)
{
    const QByteArray body = crashReportBody(dump);
    return "POST /backend/crashreport.aspx HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

int crashReportStatus(quint16 port, const QByteArray &dump, const QHostAddress &source = QHostAddress())
{
    return rawExchange(port, crashReportRequest(dump), 1, source).answers.value(0).status;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class tst_WebServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void crashDumpIsStoredByteIdentical_data();
    void crashDumpIsStoredByteIdentical();
    void crashReportThatIsDamagedOrTooLargeIsRefused_data();
    void crashReportThatIsDamagedOrTooLargeIsRefused();
    void crashReportsOfOneAddressAreLimitedPerMinute();
    void crashReportsFolderDropsTheOldestBeyondItsCap();

    void pagesAreServed_data();
    void pagesAreServed();
    void filesAreServed_data();
    void filesAreServed();
    void pathsOutsideTheRoutesAreNotFound_data();
    void pathsOutsideTheRoutesAreNotFound();

    void oversizedOrMalformedRequestsAreRefused_data();
    void oversizedOrMalformedRequestsAreRefused();
    void keptAliveConnectionAnswersEachRequest();
    void slowOrIdleClientIsDisconnected_data();
    void slowOrIdleClientIsDisconnected();
    void stopEndsOpenConnectionsAndServerCanStartAgain();

private:
    QStringList dumpFiles() const;
    QUrl url(const QString &path) const;

    QTemporaryDir m_data;
    std::unique_ptr<WebServer> m_server;
};

void tst_WebServer::initTestCase()
{
    QVERIFY(m_data.isValid());
    writeFile(m_data.filePath("server_public.pem"), "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
    writeFile(m_data.filePath("secret.txt"), "SECRET");
    writeFile(m_data.filePath("downloads/.hidden"), "SECRET");
    writeFile(m_data.filePath("downloads/sub/inner.so"), "SECRET");
    writeFile(m_data.filePath("downloads/libwftp.so"), randomBytes(3 * 1024 * 1024 + 17, 7));
    writeFile(m_data.filePath("downloads/setup 1022.bin"), "installer");
    writeFile(m_data.filePath("downloads/:colon.bin"), "colon");
    QVERIFY(QFile::link(m_data.filePath("secret.txt"), m_data.filePath("downloads/link-out.txt")));
    QVERIFY(QFile::link(m_data.filePath("downloads/setup 1022.bin"), m_data.filePath("downloads/link-in.bin")));
    // The rows here send more reports than one address may a minute; that
    // limit has its own test.
    WebServerLimits limits;
    limits.crashReportsPerAddressPerMinute = 1000;
    m_server = std::make_unique<WebServer>(m_data.path(), nullptr, limits);
    QVERIFY(m_server->start(QStringLiteral("127.0.0.1"), 0));
    QVERIFY(m_server->port() != 0);
}

void tst_WebServer::cleanupTestCase()
{
    m_server.reset();
}

QStringList tst_WebServer::dumpFiles() const
{
    return QDir(m_data.filePath("dumps")).entryList(QDir::Files | QDir::Hidden);
}

QUrl tst_WebServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server->port()).arg(path));
}

void tst_WebServer::crashDumpIsStoredByteIdentical_data()
{
    QTest::addColumn<QByteArray>("dump");
    // "\xfb\xff\xbf" encodes as "+/+/": plus signs, slashes and no padding;
    // the longer rows end in "=" padding.
    QTest::newRow("plus and slash") << QByteArray("\xfb\xff\xbf", 3);
    QTest::newRow("padding") << QByteArray("\xfb\xef\xbe\xfb", 4);
    QTest::newRow("binary dump at the size cap") << randomBytes(1024 * 1024, 3);
    QTest::newRow("empty dump") << QByteArray();
}

void tst_WebServer::crashDumpIsStoredByteIdentical()
{
    QFETCH(QByteArray, dump);
    const QStringList before = dumpFiles();

    // Like the client: POST with no header of its own.
    const QtAnswer answer = qtExchange("POST", url("/backend/crashreport.aspx"), crashReportBody(dump));

    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.body, QByteArray("ok"));
    QStringList added = dumpFiles();
    for (const QString &name : before)
        added.removeAll(name);
    QCOMPARE(added.size(), 1);
    QVERIFY(added.first().endsWith(".dmp"));
    QFile stored(m_data.filePath("dumps/" + added.first()));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), dump);
}

void tst_WebServer::crashReportThatIsDamagedOrTooLargeIsRefused_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    QTest::newRow("no dump field") << QByteArray("POST") << QByteArray("ver=1.0021&platform=linux") << 400;
    QTest::newRow("not Base64") << QByteArray("POST") << QByteArray("dumpdata=QU@D&ver=1.0021") << 400;
    QTest::newRow("space inside") << QByteArray("POST") << QByteArray("dumpdata=QU JD&ver=1.0021") << 400;
    QTest::newRow("text after padding") << QByteArray("POST") << QByteArray("dumpdata=QUI=QUI=") << 400;
    QTest::newRow("one byte over the size cap")
        << QByteArray("POST") << crashReportBody(randomBytes(1024 * 1024 + 1, 5)) << 413;
    QTest::newRow("body far over the size cap")
        << QByteArray("POST") << "dumpdata=" + QByteArray(7 * 1024 * 1024, 'A') << 413;
    QTest::newRow("GET") << QByteArray("GET") << QByteArray() << 405;
}

void tst_WebServer::crashReportThatIsDamagedOrTooLargeIsRefused()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    const QStringList before = dumpFiles();

    const QtAnswer answer = qtExchange(verb, url("/backend/crashreport.aspx"), body);

    QCOMPARE(answer.status, status);
    QVERIFY(answer.body != "ok");
    QCOMPARE(dumpFiles(), before);
}

void tst_WebServer::crashReportsOfOneAddressAreLimitedPerMinute()
{
    WebServerLimits limits;
    limits.crashReportsPerAddressPerMinute = 3;
    WebServer server(m_data.path(), nullptr, limits);
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0));
    const QStringList before = dumpFiles();
    const QHostAddress flooder(QStringLiteral("127.0.0.1"));

    for (int i = 0; i < 3; ++i)
        QCOMPARE(crashReportStatus(server.port(), "dump", flooder), 200);
    QCOMPARE(crashReportStatus(server.port(), "dump", flooder), 429);
    QCOMPARE(crashReportStatus(server.port(), "dump", flooder), 429);
    // Another address has its own allowance.
    QCOMPARE(crashReportStatus(server.port(), "dump", QHostAddress(QStringLiteral("127.0.0.2"))), 200);
    QCOMPARE(dumpFiles().size(), before.size() + 4);
}

void tst_WebServer::crashReportsFolderDropsTheOldestBeyondItsCap()
{
    QTemporaryDir data;
    QVERIFY(data.isValid());
    const QDateTime longAgo = QDateTime::currentDateTimeUtc().addDays(-1);
    for (int i = 0; i < 4; ++i) {
        const QString path = data.filePath(QStringLiteral("dumps/old%1.dmp").arg(i));
        writeFile(path, QByteArray(3000, 'o'));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(longAgo.addSecs(i), QFileDevice::FileModificationTime));
    }
    WebServerLimits limits;
    limits.maxCrashReportsFolderBytes = 10000;
    WebServer server(data.path(), nullptr, limits);
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0));

    QCOMPARE(crashReportStatus(server.port(), QByteArray(3000, 'n')), 200);
    QCOMPARE(crashReportStatus(server.port(), QByteArray(3000, 'n')), 200);

    const QFileInfoList kept = QDir(data.filePath("dumps")).entryInfoList(QDir::Files, QDir::Name);
    qint64 total = 0;
    QStringList names;
    for (const QFileInfo &file : kept) {
        total += file.size();
        names << file.fileName();
    }
    QVERIFY2(total <= limits.maxCrashReportsFolderBytes, qPrintable(QString::number(total)));
    // The two oldest made room; the newer old one and both new reports stay.
    QCOMPARE(kept.size(), 3);
    QVERIFY2(!names.contains("old0.dmp") && !names.contains("old1.dmp") && !names.contains("old2.dmp")
                 && names.contains("old3.dmp"),
             qPrintable(names.join(',')));
}

void tst_WebServer::pagesAreServed_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expectedText");

    QTest::newRow("account site start") << "/" << "wivora-server adduser";
    QTest::newRow("lost password") << "/pages/lostpassword.aspx" << "administrator";
    QTest::newRow("start page") << "/pages/program/startpage.aspx" << "href=\"/pages/help/help.aspx\"";
    QTest::newRow("help") << "/pages/help/help.aspx" << "Sharing files";
    QTest::newRow("invitation") << "/pages/invitefriends.aspx" << "Invite your friends";
    QTest::newRow("with a query") << "/pages/program/startpage.aspx?lang=en" << "Welcome";
}

void tst_WebServer::pagesAreServed()
{
    QFETCH(QString, path);
    QFETCH(QString, expectedText);

    const QtAnswer answer = qtExchange("GET", url(path));

    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.headers.value("content-type"), QByteArray("text/html; charset=utf-8"));
    QVERIFY(answer.body.startsWith("<!DOCTYPE html>"));
    QVERIFY2(QString::fromUtf8(answer.body).contains(expectedText), answer.body.constData());
}

void tst_WebServer::filesAreServed_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("file");

    QTest::newRow("plug-in larger than one write") << "/downloads/libwftp.so" << "downloads/libwftp.so";
    QTest::newRow("encoded space in the name") << "/downloads/setup%201022.bin" << "downloads/setup 1022.bin";
    QTest::newRow("name starting with a colon") << "/downloads/%3Acolon.bin" << "downloads/:colon.bin";
    QTest::newRow("server public key") << "/backend/publickey" << "server_public.pem";
}

void tst_WebServer::filesAreServed()
{
    QFETCH(QString, path);
    QFETCH(QString, file);
    QFile expected(m_data.filePath(file));
    QVERIFY(expected.open(QIODevice::ReadOnly));
    const QByteArray bytes = expected.readAll();

    const QtAnswer answer = qtExchange("GET", url(path));

    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.headers.value("content-length").toLongLong(), qint64(bytes.size()));
    QVERIFY(answer.body == bytes);
}

void tst_WebServer::pathsOutsideTheRoutesAreNotFound_data()
{
    QTest::addColumn<QByteArray>("target");

    QTest::newRow("unknown page") << QByteArray("/pages/nothing.aspx");
    QTest::newRow("dot segments outside downloads") << QByteArray("/downloads/../secret.txt");
    QTest::newRow("encoded dot segment") << QByteArray("/downloads/%2e%2e%2fsecret.txt");
    QTest::newRow("encoded slash into a sub-folder") << QByteArray("/downloads/sub%2Finner.so");
    QTest::newRow("encoded backslash") << QByteArray("/downloads/..%5Csecret.txt");
    QTest::newRow("hidden file") << QByteArray("/downloads/.hidden");
    QTest::newRow("a folder") << QByteArray("/downloads/sub");
    QTest::newRow("missing file") << QByteArray("/downloads/nothing.so");
    QTest::newRow("no file name") << QByteArray("/downloads/");
    QTest::newRow("dot segments to a route") << QByteArray("/pages/../backend/publickey");
    QTest::newRow("absolute path in the name") << QByteArray("/downloads/%2Fetc%2Fpasswd");
    QTest::newRow("NUL after a served name") << QByteArray("/downloads/setup%201022.bin%00.pem");
    QTest::newRow("symbolic link out of downloads") << QByteArray("/downloads/link-out.txt");
    QTest::newRow("symbolic link inside downloads") << QByteArray("/downloads/link-in.bin");
}

void tst_WebServer::pathsOutsideTheRoutesAreNotFound()
{
    QFETCH(QByteArray, target);

    // Raw bytes: an HTTP client library would tidy these paths up.
    const RawExchange exchange = rawExchange(
        m_server->port(), "GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");

    QCOMPARE(exchange.answers.size(), 1);
    QCOMPARE(exchange.answers.first().status, 404);
    QVERIFY(!exchange.answers.first().body.contains("SECRET"));
    QVERIFY(!exchange.answers.first().body.contains("installer"));
    QVERIFY(!exchange.answers.first().body.contains("PUBLIC KEY"));
}

void tst_WebServer::oversizedOrMalformedRequestsAreRefused_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");

    QTest::newRow("body over the limit") << QByteArray("POST /backend/crashreport.aspx HTTP/1.1\r\nHost: x\r\n"
                                                       "Content-Length: 9000000\r\n\r\ndumpdata=")
                                         << 413;
    QTest::newRow("chunked body over the limit") << QByteArray("POST /backend/crashreport.aspx HTTP/1.1\r\nHost: x\r\n"
                                                               "Transfer-Encoding: chunked\r\n\r\n900000\r\n")
                                                 << 413;
    QTest::newRow("header over the limit") << "GET / HTTP/1.1\r\nHost: x\r\nX-Filler: " + QByteArray(20000, 'a')
            + "\r\n\r\n"
                                           << 431;
    QTest::newRow("not HTTP") << QByteArray("HELLO THERE\r\n\r\n") << 400;
    QTest::newRow("two lengths") << QByteArray("POST /backend/crashreport.aspx HTTP/1.1\r\nHost: x\r\n"
                                               "Content-Length: 4\r\nContent-Length: 8\r\n\r\nQUJD")
                                 << 400;
}

void tst_WebServer::oversizedOrMalformedRequestsAreRefused()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    const QStringList before = dumpFiles();

    const RawExchange exchange = rawExchange(m_server->port(), request, 0);

    QCOMPARE(exchange.answers.size(), 1);
    QCOMPARE(exchange.answers.first().status, status);
    QVERIFY(exchange.closedByServer);
    QCOMPARE(dumpFiles(), before);
}

void tst_WebServer::keptAliveConnectionAnswersEachRequest()
{
    // Three requests sent at once on one connection, answered in order.
    const QByteArray request = "GET /pages/help/help.aspx HTTP/1.1\r\nHost: x\r\n\r\n"
                               "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n"
                               "POST /backend/crashreport.aspx HTTP/1.1\r\nHost: x\r\nContent-Length: 13\r\n\r\n"
                               "dumpdata=QUJD";

    const RawExchange exchange = rawExchange(m_server->port(), request, 3);

    QCOMPARE(exchange.answers.size(), 3);
    QCOMPARE(exchange.answers.at(0).status, 200);
    QVERIFY(exchange.answers.at(0).body.contains("Help"));
    QCOMPARE(exchange.answers.at(1).status, 404);
    QCOMPARE(exchange.answers.at(2).body, QByteArray("ok"));
    QVERIFY(!exchange.closedByServer);
}

void tst_WebServer::slowOrIdleClientIsDisconnected_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("answers");

    QTest::newRow("header never completed") << QByteArray("GET / HTTP/1.1\r\nHo") << 0;
    QTest::newRow("body never completed") << QByteArray("POST /backend/crashreport.aspx HTTP/1.1\r\nHost: x\r\n"
                                                        "Content-Length: 100\r\n\r\ndumpdata=")
                                          << 0;
    QTest::newRow("idle after an answer") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n") << 1;
}

void tst_WebServer::slowOrIdleClientIsDisconnected()
{
    QFETCH(QByteArray, request);
    QFETCH(int, answers);
    WebServerLimits limits;
    limits.readTimeout = std::chrono::milliseconds(300);
    WebServer server(m_data.path(), nullptr, limits);
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0));

    const RawExchange exchange = rawExchange(server.port(), request, 0);

    QVERIFY(exchange.closedByServer);
    QCOMPARE(exchange.answers.size(), answers);
}

void tst_WebServer::stopEndsOpenConnectionsAndServerCanStartAgain()
{
    WebServer server(m_data.path(), nullptr);
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0));
    QTcpSocket halfway;
    halfway.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    QVERIFY(halfway.waitForConnected(10000));
    halfway.write("GET / HTTP/1.1\r\n");
    QVERIFY(halfway.waitForBytesWritten(10000));

    server.stop();

    QVERIFY(!server.isRunning());
    QVERIFY(waitForServerClose(halfway));
    QVERIFY(server.start(QStringLiteral("127.0.0.1"), 0));
    const RawExchange exchange = rawExchange(server.port(), "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(exchange.answers.value(0).status, 200);
}

WIVORA_TEST_GUILESS_MAIN(tst_WebServer)
#include "tst_WebServer.moc"
