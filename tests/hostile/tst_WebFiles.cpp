// Attacks on a file published on the web, against a real wivora-server and
// the real client of the file's owner, whose file-sharing plug-in serves the
// file: guessing its password at speed, and one address holding all of the
// owner's places with connections that never read.

#include "QtTestSuite.h"
#include "AccountOnServer.h"
#include "E2eFixture.h"
#include "HttpTestClient.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char RightPassword[] = "right-password";
// The server's limits for a connection, shortened for the test (by hand at
// full size: 30 s each).
constexpr int ReadTimeLimitMs = 3000;
constexpr int DownloadRateWindowMs = 4000;

QByteArray postPassword(const QByteArray &path, const QByteArray &password)
{
    const QByteArray body = "password=" + password.toPercentEncoding();
    return "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// A connection from `source` that holds at most a few KiB in its receive
// buffer, so the server feels at once how fast it reads. -1 on failure.
int smallWindowConnection(const char *source, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int bufferBytes = 4096;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes) != 0
        || ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0
        || ::connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What has arrived on fd so far, left in place; empty when nothing has.
QByteArray peekArrived(int fd, int bytes)
{
    QByteArray arrived(bytes, '\0');
    const ssize_t count = ::recv(fd, arrived.data(), size_t(arrived.size()), MSG_PEEK | MSG_DONTWAIT);
    return count > 0 ? arrived.left(int(count)) : QByteArray();
}

// Whether the server's end of the connection fd has been closed, as the
// kernel's table of TCP sockets shows it: the server-side socket no longer
// established.
bool serverEndClosed(int fd, quint16 serverPort)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return false;
    // "0100007F:1F90 0500007F:D431 01": local and remote address, state.
    const QByteArray serverEnd = QByteArray::number(quint32(0x0100007F), 16).toUpper().rightJustified(8, '0') + ':'
        + QByteArray::number(serverPort, 16).toUpper().rightJustified(4, '0');
    const QByteArray clientEnd = QByteArray::number(quint32(local.sin_addr.s_addr), 16).toUpper().rightJustified(8, '0')
        + ':' + QByteArray::number(ntohs(local.sin_port), 16).toUpper().rightJustified(4, '0');
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields.at(1) == serverEnd && fields.at(2) == clientEnd)
            return fields.at(3) != "01";
    }
    return true;
}

// Reads fd to its end; false when the server still sends after limitMs.
bool drainUntilClosed(int fd, qint64 *received, int limitMs)
{
    QElapsedTimer clock;
    clock.start();
    char buffer[65536];
    while (clock.elapsed() < limitMs) {
        const ssize_t count = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
        if (count > 0)
            *received += count;
        else
            QTest::qWait(5);
    }
    return false;
}

} // namespace

class tst_WebFiles;
using WebFileAttack = void (tst_WebFiles::*)();
Q_DECLARE_METATYPE(WebFileAttack)

class tst_WebFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void attackIsContained_data();
    void attackIsContained();

private:
    // Each attack comes from addresses of its own: the server keeps what an
    // address cost it from one attack to the next.
    void guessingOnEightConnections();
    void guessingOnOneConnection();
    void slowReadersFromOneAddress();

    QByteArray filePath() const { return "/webfiles/alice/" + m_fileId.toLatin1() + ".html"; }
    // The file's page: the password form.
    QByteArray pageRequest() const { return "GET " + filePath() + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"; }
    RawExchange exchange(const QByteArray &request, const char *source)
    {
        return rawExchange(m_fixture.server.httpPort(), request, 1, QHostAddress(QLatin1String(source)));
    }
    // The right password from source downloads the whole file.
    void downloadsWhole(const char *source)
    {
        const RawExchange download = exchange(postPassword(filePath(), RightPassword), source);
        QCOMPARE(download.answers.value(0).status, 200);
        QVERIFY(sha256(download.answers.value(0).body) == sha256(m_content));
    }

    QTemporaryDir m_files;
    QByteArray m_content;
    QString m_fileId;
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
};

void tst_WebFiles::initTestCase()
{
    qputenv("WIVORA_WEB_READ_TIME_LIMIT_MS", QByteArray::number(ReadTimeLimitMs));
    qputenv("WIVORA_WEB_DOWNLOAD_RATE_WINDOW_MS", QByteArray::number(DownloadRateWindowMs));
    // Larger than what the kernel buffers for a connection that reads nothing
    // (about 3 MiB here).
    m_content = E2eFixture::randomBytes(8 * 1024 * 1024);
    const QString path = m_files.filePath(QStringLiteral("published.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(m_content) == m_content.size());
    file.close();

    QVERIFY(m_fixture.startService({QStringLiteral("alice")}));
    QVERIFY(editAccountOnServer(m_fixture.server, QStringLiteral("alice"), E2eFixture::passwordOf("alice"),
                                [&](WFtpEngine &engine) {
                                    m_fileId = engine.addWebSharedFile(path, RightPassword,
                                                                       QDateTime::currentDateTime().addDays(1))
                                                   ->gv(QStringLiteral("section"));
                                }));
    m_alice = m_fixture.client(QStringLiteral("alice"));
    QVERIFY(m_alice && m_alice->installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN)));
    QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
    // The owner's client answers for the file.
    QVERIFY(QTest::qWaitFor([&] { return exchange(pageRequest(), "127.0.0.1").answers.value(0).status == 200; },
                            30000));
}

void tst_WebFiles::attackIsContained_data()
{
    QTest::addColumn<WebFileAttack>("attack");
    QTest::newRow("password guessing on 8 connections") << &tst_WebFiles::guessingOnEightConnections;
    QTest::newRow("password guessing on one connection") << &tst_WebFiles::guessingOnOneConnection;
    QTest::newRow("8 slow readers from one address") << &tst_WebFiles::slowReadersFromOneAddress;
}

void tst_WebFiles::attackIsContained()
{
    QFETCH(WebFileAttack, attack);
    (this->*attack)();
    if (QTest::currentTestFailed())
        qWarning().noquote() << "server output:" << m_fixture.server.output().right(4000);
    QVERIFY2(m_fixture.server.isRunning(), qPrintable(m_fixture.server.output().right(4000)));
}

void tst_WebFiles::guessingOnEightConnections()
{
    // Eight keep-alive connections from one address post wrong passwords as
    // fast as the server answers, for four seconds, and on a slow machine
    // until the second check after the free ones (which starts a wait of
    // four seconds).
    constexpr int Connections = 8;
    constexpr int GuessingMs = 4000;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    std::vector<QByteArray> received(Connections);
    for (int i = 0; i < Connections; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(sockets.back()->bind(QHostAddress(QStringLiteral("127.0.0.2"))));
        sockets.back()->connectToHost(QStringLiteral("127.0.0.1"), m_fixture.server.httpPort());
        QVERIFY(sockets.back()->waitForConnected(10000));
    }
    QMap<int, int> statuses;
    std::vector<qint64> checkedAtMs; // when each wrong password was checked and refused
    int guess = 0;
    int withoutRetryAfter = 0;
    bool fileLeaked = false;
    QElapsedTimer clock;
    clock.start();
    for (auto &socket : sockets)
        socket->write(postPassword(filePath(), "guess-" + QByteArray::number(guess++)));
    while (clock.elapsed() < GuessingMs || (checkedAtMs.size() < 12 && clock.elapsed() < 3 * GuessingMs)) {
        QTest::qWait(1);
        for (int i = 0; i < Connections; ++i) {
            received[i] += sockets[i]->readAll();
            const QList<HttpAnswer> answers = parseAnswers(received[i]);
            if (answers.isEmpty())
                continue;
            const HttpAnswer &answer = answers.first();
            ++statuses[answer.status];
            if (answer.status == 403)
                checkedAtMs.push_back(clock.elapsed());
            if (answer.status == 429 && answer.headers.value("retry-after").toInt() < 1)
                ++withoutRetryAfter;
            fileLeaked = fileLeaked || answer.body.contains(m_content.left(32));
            received[i].clear();
            sockets[i]->write(postPassword(filePath(), "guess-" + QByteArray::number(guess++)));
        }
    }

    const int checked = int(checkedAtMs.size());
    const qint64 afterTenMs = checked > 10 ? clock.elapsed() - checkedAtMs.at(9) : 0;
    const QString figures =
        QStringLiteral("guesses %1 in %2 ms: checked %3 (after the first ten: %4 in %5 ms), refused unchecked %6, "
                       "owner busy %7")
            .arg(guess).arg(clock.elapsed()).arg(checked).arg(std::max(0, checked - 10)).arg(afterTenMs)
            .arg(statuses.value(429)).arg(statuses.value(503));
    qInfo().noquote() << figures;
    // Guessing went at speed, yet after ten free checks the waits double
    // from one second: in the next four seconds two more are checked.
    QVERIFY2(guess > 100, qPrintable(figures));
    QVERIFY2(checked >= 10 && checked <= 13, qPrintable(figures));
    QVERIFY2(statuses.value(429) > 50, qPrintable(figures));
    QCOMPARE(statuses.value(200), 0);
    QCOMPARE(withoutRetryAfter, 0);
    QVERIFY(!fileLeaked);

    // Another address downloads the file with its password at once.
    downloadsWhole("127.0.0.3");
    // The guessing address, once it keeps to Retry-After, downloads too.
    for (auto &socket : sockets)
        socket->abort();
    QElapsedTimer laterClock;
    laterClock.start();
    RawExchange later;
    while (laterClock.elapsed() < 30000) {
        later = exchange(postPassword(filePath(), RightPassword), "127.0.0.2");
        const int status = later.answers.value(0).status;
        if (status != 429 && status != 503)
            break;
        QVERIFY(!later.answers.value(0).body.contains(m_content.left(32)));
        QTest::qWait(1000 * std::max(1, later.answers.value(0).headers.value("retry-after").toInt()));
    }
    QCOMPARE(later.answers.value(0).status, 200);
    QVERIFY(sha256(later.answers.value(0).body) == sha256(m_content));
    qInfo().noquote() << QStringLiteral("the guessing address downloaded %1 ms after it stopped")
                             .arg(laterClock.elapsed());
}

void tst_WebFiles::guessingOnOneConnection()
{
    // One connection has three free checks, however much its address has left.
    QTcpSocket socket;
    QVERIFY(socket.bind(QHostAddress(QStringLiteral("127.0.0.4"))));
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_fixture.server.httpPort());
    QVERIFY(socket.waitForConnected(10000));
    auto ask = [&](const QByteArray &password) {
        socket.write(postPassword(filePath(), password));
        QByteArray received;
        QTest::qWaitFor(
            [&] {
                received += socket.readAll();
                return !parseAnswers(received).isEmpty();
            },
            15000);
        return parseAnswers(received).value(0);
    };
    QList<int> statuses;
    for (int i = 0; i < 3; ++i)
        statuses << ask("guess-" + QByteArray::number(i)).status;
    QCOMPARE(statuses, QList<int>({403, 403, 403}));
    // Then the right password waits too: were only wrong ones held back, the
    // speed of the answer would tell.
    const HttpAnswer later = ask(RightPassword);
    QCOMPARE(later.status, 429);
    QVERIFY(!later.body.contains(m_content.left(32)));
    const int retryAfterSeconds = later.headers.value("retry-after").toInt();
    QCOMPARE(retryAfterSeconds, 1);
    // A new connection of the same address starts a budget of its own, within
    // what the address has left.
    QCOMPARE(exchange(postPassword(filePath(), "guess-3"), "127.0.0.4").answers.value(0).status, 403);
    // After the wait, the right password downloads the file on the first connection.
    QTest::qWait(retryAfterSeconds * 1000);
    const HttpAnswer download = ask(RightPassword);
    QCOMPARE(download.status, 200);
    QVERIFY(sha256(download.body) == sha256(m_content));
}

void tst_WebFiles::slowReadersFromOneAddress()
{
    // A connection that never sends a request is closed after the read limit.
    QTcpSocket idle;
    QVERIFY(idle.bind(QHostAddress(QStringLiteral("127.0.0.7"))));
    idle.connectToHost(QStringLiteral("127.0.0.1"), m_fixture.server.httpPort());
    QVERIFY(idle.waitForConnected(10000));
    QElapsedTimer idleClock;
    idleClock.start();
    QVERIFY(waitForServerClose(idle, 5 * ReadTimeLimitMs));
    const qint64 idleClosedMs = idleClock.elapsed();
    QVERIFY2(idleClosedMs < 3 * ReadTimeLimitMs, qPrintable(QString::number(idleClosedMs)));

    // Eight connections from one address post the right password, then read
    // nothing, or a trickle.
    constexpr int Readers = 8;
    const QByteArray request = postPassword(filePath(), RightPassword);
    std::vector<int> readers;
    for (int i = 0; i < Readers; ++i) {
        const int fd = smallWindowConnection("127.0.0.5", m_fixture.server.httpPort());
        QVERIFY(fd >= 0);
        readers.push_back(fd);
        QCOMPARE(::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL), ssize_t(request.size()));
    }
    auto statusesSoFar = [&] {
        QMap<int, int> statuses;
        for (const int fd : readers) {
            const QByteArray arrived = peekArrived(fd, 16);
            if (arrived.startsWith("HTTP/1.1 "))
                ++statuses[arrived.mid(9, 3).toInt()];
        }
        return statuses;
    };
    // The address holds its share of the owner's places; the rest are told
    // "busy" at once.
    QVERIFY(QTest::qWaitFor([&] { return statusesSoFar().value(200) == 2 && statusesSoFar().value(503) == 6; },
                            15000));
    QElapsedTimer holdClock;
    holdClock.start();
    std::vector<int> holders;
    for (const int fd : readers) {
        if (peekArrived(fd, 12).endsWith("200"))
            holders.push_back(fd);
    }
    QCOMPARE(int(holders.size()), 2);

    // While they hold their places, another address downloads the file.
    QCOMPARE(exchange(pageRequest(), "127.0.0.5").answers.value(0).status, 503);
    QElapsedTimer download;
    download.start();
    downloadsWhole("127.0.0.6");
    const qint64 otherDownloadMs = download.elapsed();

    // One holder trickles 100 bytes every 200 ms (0.5 KiB/s), the other reads
    // nothing: both are under the minimum rate and are cut off.
    qint64 trickled = 0;
    auto bothCut = [&] {
        return serverEndClosed(holders.at(0), m_fixture.server.httpPort())
            && serverEndClosed(holders.at(1), m_fixture.server.httpPort());
    };
    while (!bothCut() && holdClock.elapsed() < 10 * DownloadRateWindowMs) {
        QTest::qWait(200);
        char piece[100];
        trickled += std::max<ssize_t>(0, ::recv(holders.front(), piece, sizeof piece, MSG_DONTWAIT));
    }
    const qint64 cutMs = holdClock.elapsed();
    const QString figures = QStringLiteral("other address downloaded 8 MiB in %1 ms; slow readers cut off after %2 ms "
                                           "(%3 bytes trickled); idle connection closed after %4 ms")
                                .arg(otherDownloadMs).arg(cutMs).arg(trickled).arg(idleClosedMs);
    qInfo().noquote() << figures;
    QVERIFY2(bothCut(), qPrintable(figures));
    // Each was cut short: what arrived ends before the whole file.
    for (const int fd : holders) {
        qint64 received = 0;
        QVERIFY(drainUntilClosed(fd, &received, 15000));
        QVERIFY2(received < m_content.size(), qPrintable(QString::number(received)));
    }
    for (const int fd : readers)
        ::close(fd);
    // The address has its places back.
    downloadsWhole("127.0.0.5");
}

WIVORA_TEST_GUILESS_MAIN(tst_WebFiles)
#include "tst_WebFiles.moc"
