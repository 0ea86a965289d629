// The answering side of the single-instance check, driven by raw local
// sockets that send what a starting copy (or anything else) might send.

#include "QtTestSuite.h"
#include "WakeUpServer.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString ServerName = QStringLiteral("wivora-wakeup-test");

// A client of the wake-up server on this thread: everything it received and
// whether the server closed the connection.
class WakeUpClient : public QObject
{
public:
    explicit WakeUpClient(const QString &name)
    {
        connect(&m_socket, &QLocalSocket::readyRead, this, [this] { m_received += m_socket.readAll(); });
        m_socket.connectToServer(name);
    }
    bool isConnected() { return QTest::qWaitFor([this] { return m_socket.state() == QLocalSocket::ConnectedState; }); }
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    QByteArray received() const { return m_received; }
    bool closedByServer() const { return m_socket.state() == QLocalSocket::UnconnectedState; }

private:
    QLocalSocket m_socket;
    QByteArray m_received;
};

// What a program killed while listening leaves behind: a socket file that
// nobody accepts on.
bool leaveStaleSocketFile(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(encoded.size()) >= sizeof address.sun_path)
        return false;
    memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound && QFileInfo::exists(path);
}

} // namespace

class tst_WakeUpServer : public QObject
{
    Q_OBJECT

private slots:
    void answersOnlyTheRequest_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<bool>("answered");

        QTest::newRow("request") << QByteArrayList{"wivorawakeup"} << true;
        QTest::newRow("request in pieces") << QByteArrayList{"wiv", "orawak", "eup"} << true;
        QTest::newRow("other text") << QByteArrayList{"hello there!"} << false;
        QTest::newRow("request with more bytes") << QByteArrayList{"wivorawakeup!"} << false;
        QTest::newRow("start of the request, then other text") << QByteArrayList{"wivora", "sleep"} << false;
        QTest::newRow("answer sent as a request") << QByteArrayList{"isrunning"} << false;
    }
    void answersOnlyTheRequest()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(bool, answered);
        WakeUpServer server;
        QSignalSpy wakeUps(&server, &WakeUpServer::signalWakeUp);
        QVERIFY(server.listen(ServerName));

        WakeUpClient client(ServerName);
        QVERIFY(client.isConnected());
        for (const QByteArray &piece : pieces) {
            client.send(piece);
            QTest::qWait(20); // lets each piece arrive on its own
        }

        if (answered) {
            QTRY_COMPARE(client.received(), QByteArray("isrunning"));
            QCOMPARE(wakeUps.count(), 1);
        } else {
            QTRY_VERIFY(client.closedByServer());
            QCOMPARE(client.received(), QByteArray());
            QCOMPARE(wakeUps.count(), 0);
        }
    }

    // The answer never blocks the thread: a peer that sends part of the
    // request and then nothing does not hold up the next starter.
    void silentPeerDoesNotHoldUpOthers()
    {
        WakeUpServer server;
        QVERIFY(server.listen(ServerName));
        WakeUpClient silent(ServerName);
        QVERIFY(silent.isConnected());
        silent.send("wivo");

        WakeUpClient starter(ServerName);
        QVERIFY(starter.isConnected());
        starter.send("wivorawakeup");
        QTRY_COMPARE(starter.received(), QByteArray("isrunning"));
        QVERIFY(!silent.closedByServer());
    }

    void takesOverStaleSocketFile()
    {
        QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/w-XXXXXX"));
        const QString path = folder.filePath(QStringLiteral("wivora"));
        QVERIFY(leaveStaleSocketFile(path));
        QLocalServer plain;
        QVERIFY2(!plain.listen(path), "a plain listen should fail on a stale socket file");

        WakeUpServer server;
        QVERIFY(server.listen(path));
        WakeUpClient client(path);
        QVERIFY(client.isConnected());
        client.send("wivorawakeup");
        QTRY_COMPARE(client.received(), QByteArray("isrunning"));
    }
};

WIVORA_TEST_GUILESS_MAIN(tst_WakeUpServer)
#include "tst_WakeUpServer.moc"
