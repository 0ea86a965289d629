// A client whose listening port is taken by another program is still
// reached directly: it listens on a free port and announces that one, so the
// asker's direct TCP road works.

#include "QtTestSuite.h"
#include "E2eFixture.h"

#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");

// Holds a TCP port on every address without listening: nobody else can
// listen there, and connections to it are refused at once.
class PortBlocker
{
public:
    explicit PortBlocker(quint16 port)
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        m_bound = m_socket >= 0 && ::bind(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~PortBlocker()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    PortBlocker(const PortBlocker &) = delete;
    PortBlocker &operator=(const PortBlocker &) = delete;

    bool isBound() const { return m_bound; }

private:
    int m_socket = -1;
    bool m_bound = false;
};

} // namespace

class tst_BlockedPort : public QObject
{
    Q_OBJECT

private slots:
    void recordReachesClientWhosePortIsTaken();
};

void tst_BlockedPort::recordReachesClientWhosePortIsTaken()
{
    E2eFixture fixture;
    QVERIFY2(fixture.startService({kAlice, kBob}, {{kAlice, kBob}}), qPrintable(fixture.server.errorText()));
    auto alice = fixture.client(kAlice);
    auto bob = fixture.client(kBob);
    QVERIFY(alice && bob);
    PortBlocker blocker(bob->listeningPort());
    QVERIFY(blocker.isBound());
    QVERIFY2(bob->start(), qPrintable(bob->diagnostics()));
    QVERIFY2(alice->start(), qPrintable(alice->diagnostics()));

    const KvrConfig ping = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 2048);
    const KvrConfig reply = alice->probe().request(kBob, ping);

    QVERIFY2(!reply.isEmpty(), qPrintable(alice->diagnostics()));
    QCOMPARE(reply.gv(QStringLiteral("command")), QStringLiteral("echo:::ping:callback"));
    QCOMPARE(reply.GetValue(QStringLiteral("payload")), ping.GetValue(QStringLiteral("payload")));
    QCOMPARE(reply.gv(QStringLiteral("Wivora::sender")), kBob);
    // A peer link, not a server-mode one, made by direct TCP.
    QCOMPARE(reply.gv(QStringLiteral("Wivora::connection")), QStringLiteral("0"));
    const QString log = alice->log();
    QVERIFY2(log.contains(QStringLiteral("connected tcp direct")), qPrintable(log));
}

WIVORA_TEST_GUILESS_MAIN(tst_BlockedPort)
#include "tst_BlockedPort.moc"
