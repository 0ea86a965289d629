#include "QtTestSuite.h"
#include "RandomBytes.h"
#include "HttpTestClient.h"
#include "WebLocalBridge.h"
#include "WebServer.h"

#include <QMutex>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <QtTest>

namespace {

struct SharedFile
{
    QByteArray content;
    QString name;
    QString password;
};

// Plays the client of the user "alice", answering the web server's
// "WebLocal::wftp:::" requests from files held in memory.
class OwnerClient : public WebLocalBridge
{
public:
    enum class Mode { Online, Offline, Silent };

    KvrConfig askUser(const QString &user, const KvrConfig &request, int timeoutMs) override
    {
        QMutexLocker lock(&mutex);
        const QString command = request.gv("command");
        commands.append(command);
        if (mode == Mode::Silent) {
            // Waits out the time-out as a client that never answers would.
            lock.unlock();
            QThread::msleep(ulong(timeoutMs));
            return KvrConfig();
        }
        if (mode == Mode::Offline || user != "alice")
            return KvrConfig();

        KvrConfig reply;
        reply.SetValue("ID", request.GetValue("ID"));
        reply.sv("command", command);
        reply.SetResult(false);
        const QString fileId = request.gv("fileid");
        const bool known = files.contains(fileId);
        const bool passwordOk = known
            && (files[fileId].password.isEmpty() || files[fileId].password == request.gv("password"));
        if (command == "WebLocal::wftp:::checkFileIsAccessible" && known) {
            reply.sv("passwordRequired", files[fileId].password.isEmpty() ? "false" : "true");
            reply.sv("filename", files[fileId].name);
            reply.SetResult(true);
        } else if (command == "WebLocal::wftp:::checkFilePassword") {
            reply.SetResult(passwordOk);
        } else if (command == "WebLocal::wftp:::openFile" && passwordOk) {
            const QString openId = QUuid::createUuid().toString();
            opened.insert(openId, fileId);
            reply.sv("openid", openId);
            reply.sv("filesize", QString::number(files[fileId].content.size()));
            reply.SetResult(true);
        } else if (command == "WebLocal::wftp:::readFile" && opened.contains(request.gv("openid"))) {
            if (readsBeforeVanishing-- == 0) {
                mode = Mode::Offline;
                return KvrConfig();
            }
            const QByteArray &content = files[opened[request.gv("openid")]].content;
            reply.sv("data", QString::fromLatin1(content.mid(request.gv("from").toLongLong(),
                                                             request.gv("count").toLongLong()).toBase64()));
            reply.SetResult(true);
        } else if (command == "WebLocal::wftp:::closeFile") {
            reply.SetResult(opened.remove(request.gv("openid")) == 1);
        }
        return reply;
    }

    // What the test reads or changes while the server may be asking.
    void setMode(Mode newMode, int reads = -1)
    {
        QMutexLocker lock(&mutex);
        mode = newMode;
        readsBeforeVanishing = reads;
    }
    bool wasAsked(const QString &command)
    {
        QMutexLocker lock(&mutex);
        return command.isEmpty() ? !commands.isEmpty() : commands.contains(command);
    }
    int openFiles()
    {
        QMutexLocker lock(&mutex);
        return opened.size();
    }

    QMutex mutex;
    Mode mode = Mode::Online;
    int readsBeforeVanishing = -1;
    QMap<QString, SharedFile> files;
    QMap<QString, QString> opened;  // open id -> file id
    QStringList commands;
};

const QString kPlainFile = QStringLiteral("{1c8e1f5a-2b3c-4d5e-8f90-a1b2c3d4e5f6}");
const QString kProtectedFile = QStringLiteral("{2d9f2a6b-3c4d-4e5f-9a01-b2c3d4e5f6a7}");
const QString kEmptyFile = QStringLiteral("{3eaf3b7c-4d5e-4f60-ab12-c3d4e5f6a7b8}");
const QString kStrangeNameFile = QStringLiteral("{4fb04c8d-5e6f-4071-bc23-d4e5f6a7b8c9}");
const QString kPassword = QStringLiteral("s3cr+t &%x \u00e9");

QByteArray passwordForm(const QString &password)
{
    return "password=" + password.toUtf8().toPercentEncoding();
}

} // namespace

class tst_WebSharedFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fileIsStreamedAsAttachment_data();
    void fileIsStreamedAsAttachment();
    void protectedFileAsksForItsPassword_data();
    void protectedFileAsksForItsPassword();
    void unavailableFileGivesErrorPage_data();
    void unavailableFileGivesErrorPage();
    void ownerLostDuringTransferCutsTheDownload();
    void silentOwnerHoldsNoPageWorkerAndFewWaits();

private:
    QUrl url(const QString &user, const QString &fileId) const;

    QTemporaryDir m_data;
    OwnerClient m_owner;
    std::unique_ptr<WebServer> m_server;
};

void tst_WebSharedFiles::init()
{
    m_owner.setMode(OwnerClient::Mode::Online);
    m_owner.commands.clear();
    m_owner.opened.clear();
    m_owner.files = {
        {kPlainFile, {randomBytes(600 * 1024 + 5, 1), "report.pdf", QString()}},
        {kProtectedFile, {randomBytes(700 * 1024, 2), "photos <2024>.zip", kPassword}},
        {kEmptyFile, {QByteArray(), "empty.txt", QString()}},
        {kStrangeNameFile, {"x", QString::fromUtf8("evil\"\r\nSet-Cookie: a=1\\caf\u00e9.txt"), QString()}},
    };
    WebServerLimits limits;
    limits.clientTimeoutMs = 300;
    m_server = std::make_unique<WebServer>(m_data.path(), &m_owner, limits);
    QVERIFY(m_server->start(QStringLiteral("127.0.0.1"), 0));
}

void tst_WebSharedFiles::cleanup()
{
    m_server.reset();
}

QUrl tst_WebSharedFiles::url(const QString &user, const QString &fileId) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/webfiles/%2/%3.html").arg(m_server->port()).arg(user, fileId));
}

void tst_WebSharedFiles::fileIsStreamedAsAttachment_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("fileId");
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<QByteArray>("disposition");

    QTest::newRow("no password, several pieces")
        << "alice" << kPlainFile << QByteArray("GET") << QByteArray()
        << QByteArray("attachment; filename=\"report.pdf\"; filename*=UTF-8''report.pdf");
    QTest::newRow("right password posted")
        << "alice" << kProtectedFile << QByteArray("POST") << passwordForm(kPassword)
        << QByteArray("attachment; filename=\"photos <2024>.zip\"; filename*=UTF-8''photos%20%3C2024%3E.zip");
    QTest::newRow("empty file") << "alice" << kEmptyFile << QByteArray("GET") << QByteArray()
                                << QByteArray("attachment; filename=\"empty.txt\"; filename*=UTF-8''empty.txt");
    QTest::newRow("name with quote, line break and backslash")
        << "alice" << kStrangeNameFile << QByteArray("GET") << QByteArray()
        << QByteArray("attachment; filename=\"evil___Set-Cookie: a=1_caf_.txt\"; "
                      "filename*=UTF-8''evil___Set-Cookie%3A%20a%3D1_caf%C3%A9.txt");
    QTest::newRow("user name in other letter case")
        << "Alice" << kPlainFile << QByteArray("GET") << QByteArray()
        << QByteArray("attachment; filename=\"report.pdf\"; filename*=UTF-8''report.pdf");
}

void tst_WebSharedFiles::fileIsStreamedAsAttachment()
{
    QFETCH(QString, user);
    QFETCH(QString, fileId);
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, form);
    QFETCH(QByteArray, disposition);

    const QtAnswer answer = qtExchange(verb, url(user, fileId), form, "application/x-www-form-urlencoded");

    QCOMPARE(answer.error, QNetworkReply::NoError);
    QCOMPARE(answer.status, 200);
    QVERIFY(answer.body == m_owner.files[fileId].content);
    QCOMPARE(answer.headers.value("content-disposition"), disposition);
    QCOMPARE(answer.headers.value("content-type"), QByteArray("application/octet-stream"));
    QVERIFY(!answer.headers.contains("set-cookie"));
    // Every file opened for the download is closed again.
    QTRY_VERIFY(m_owner.wasAsked("WebLocal::wftp:::closeFile"));
    QTRY_COMPARE(m_owner.openFiles(), 0);
}

void tst_WebSharedFiles::protectedFileAsksForItsPassword_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("expectedText");

    QTest::newRow("page without password") << QByteArray("GET") << QByteArray() << 200
                                           << "<form method=\"post\">";
    QTest::newRow("wrong password") << QByteArray("POST") << passwordForm("guess") << 403
                                    << "The password is not correct.";
    QTest::newRow("password in other letter case") << QByteArray("POST") << passwordForm(kPassword.toUpper()) << 403
                                                   << "The password is not correct.";
    QTest::newRow("no password field") << QByteArray("POST") << QByteArray("pass=x") << 403
                                       << "The password is not correct.";
}

void tst_WebSharedFiles::protectedFileAsksForItsPassword()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, form);
    QFETCH(int, status);
    QFETCH(QString, expectedText);

    const QtAnswer answer = qtExchange(verb, url("alice", kProtectedFile), form, "application/x-www-form-urlencoded");

    QCOMPARE(answer.status, status);
    const QString page = QString::fromUtf8(answer.body);
    QVERIFY2(page.contains(expectedText), answer.body.constData());
    // The owner's file name is shown, escaped, and not a byte of the file leaks.
    QVERIFY(page.contains("photos &lt;2024&gt;.zip"));
    QVERIFY(!answer.headers.contains("content-disposition"));
    QVERIFY(!m_owner.wasAsked("WebLocal::wftp:::openFile"));
}

void tst_WebSharedFiles::unavailableFileGivesErrorPage_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("fileId");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<bool>("ownerAsked");

    const int online = int(OwnerClient::Mode::Online);
    QTest::newRow("owner offline") << int(OwnerClient::Mode::Offline) << "alice" << kPlainFile << "not online" << true;
    QTest::newRow("owner does not answer") << int(OwnerClient::Mode::Silent) << "alice" << kPlainFile << "not online"
                                           << true;
    QTest::newRow("file not shared") << online << "alice" << "{00000000-0000-4000-8000-000000000000}" << "not shared"
                                     << true;
    QTest::newRow("not a file identifier") << online << "alice" << "1c8e1f5a-2b3c-4d5e-8f90-a1b2c3d4e5f6"
                                           << "no page" << false;
    QTest::newRow("user name climbing up") << online << "..%2Falice" << kPlainFile << "no page" << false;
    QTest::newRow("empty user name") << online << "" << kPlainFile << "no page" << false;
}

void tst_WebSharedFiles::unavailableFileGivesErrorPage()
{
    QFETCH(int, mode);
    QFETCH(QString, user);
    QFETCH(QString, fileId);
    QFETCH(QString, expectedText);
    QFETCH(bool, ownerAsked);
    m_owner.setMode(OwnerClient::Mode(mode));

    const RawExchange exchange = rawExchange(
        m_server->port(), "GET /webfiles/" + user.toUtf8() + "/" + fileId.toUtf8() + ".html HTTP/1.1\r\nHost: x\r\n\r\n");

    QCOMPARE(exchange.answers.size(), 1);
    QCOMPARE(exchange.answers.first().status, 404);
    QVERIFY2(exchange.answers.first().body.contains(expectedText.toUtf8()), exchange.answers.first().body.constData());
    QCOMPARE(m_owner.wasAsked(QString()), ownerAsked);
    QVERIFY(!m_owner.wasAsked("WebLocal::wftp:::openFile"));
}

void tst_WebSharedFiles::ownerLostDuringTransferCutsTheDownload()
{
    m_owner.setMode(OwnerClient::Mode::Online, 1);

    const QtAnswer answer = qtExchange("GET", url("alice", kPlainFile));

    // The header promised the whole file; the browser must not take the part
    // it got for the file.
    QVERIFY(answer.error != QNetworkReply::NoError);
    QVERIFY(answer.body.size() < m_owner.files[kPlainFile].content.size());
    // The server goes on serving.
    m_owner.setMode(OwnerClient::Mode::Online);
    const QtAnswer next = qtExchange("GET", url("alice", kPlainFile));
    QCOMPARE(next.status, 200);
    QVERIFY(next.body == m_owner.files[kPlainFile].content);
}

void tst_WebSharedFiles::silentOwnerHoldsNoPageWorkerAndFewWaits()
{
    // A client that never answers: every request to it waits out the time-out.
    WebServerLimits limits;
    limits.clientTimeoutMs = 4000;
    m_server = std::make_unique<WebServer>(m_data.path(), &m_owner, limits);
    QVERIFY(m_server->start(QStringLiteral("127.0.0.1"), 0));
    m_owner.setMode(OwnerClient::Mode::Silent);
    const int requests = 3 * limits.workerThreads;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < requests; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        // From many addresses, each within its share: the owner's places run out.
        QVERIFY(sockets.back()->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(10 + i / 2))));
        sockets.back()->connectToHost(QStringLiteral("127.0.0.1"), m_server->port());
        sockets.back()->write("GET /webfiles/alice/" + kPlainFile.toLatin1()
                              + ".html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    }
    QVERIFY(QTest::qWaitFor([&] { return m_owner.wasAsked(QString()); }, 10000));

    // A page is answered at once, long before any of the waits ends.
    const RawExchange page =
        rawExchange(m_server->port(), "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QCOMPARE(page.answers.value(0).status, 200);

    // Beyond the owner's share the requests are told "busy" at once, too.
    QMap<int, int> statuses;
    QVERIFY(QTest::qWaitFor(
        [&] {
            statuses.clear();
            for (const auto &socket : sockets) {
                const QList<HttpAnswer> answers = parseAnswers(socket->peek(socket->bytesAvailable()));
                if (!answers.isEmpty())
                    ++statuses[answers.first().status];
            }
            return statuses.value(503) == requests - limits.maxClientRequestsPerOwner;
        },
        limits.clientTimeoutMs / 2));
    QVERIFY2(clock.elapsed() < limits.clientTimeoutMs, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(statuses.value(404), 0);
    {
        QMutexLocker lock(&m_owner.mutex);
        QCOMPARE(m_owner.commands.size(), limits.maxClientRequestsPerOwner);
    }
    // The waiting ones end with the time-out, as before.
    QVERIFY(QTest::qWaitFor(
        [&] {
            int notAvailable = 0;
            for (const auto &socket : sockets) {
                const QList<HttpAnswer> answers = parseAnswers(socket->peek(socket->bytesAvailable()));
                notAvailable += !answers.isEmpty() && answers.first().status == 404;
            }
            return notAvailable == limits.maxClientRequestsPerOwner;
        },
        3 * limits.clientTimeoutMs));
}

WIVORA_TEST_GUILESS_MAIN(tst_WebSharedFiles)
#include "tst_WebSharedFiles.moc"
