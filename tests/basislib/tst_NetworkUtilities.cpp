#include "QtTestSuite.h"
#include <NetworkUtilities.h>

#include <QHostAddress>
#include <QTcpServer>
#include <QUuid>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

// A listener on 127.0.0.4 that never answers: its accept queue (length one)
// is filled by a first connection, so the kernel drops every later SYN and
// a probe sees no answer at all, as from a host behind a silent firewall.
class SilentListener
{
public:
    explicit SilentListener(quint16 port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.4", &address.sin_addr);
        auto *generic = reinterpret_cast<sockaddr *>(&address);
        m_ok = bind(m_listener, generic, sizeof address) == 0 && listen(m_listener, 0) == 0
               && ::connect(m_filler, generic, sizeof address) == 0;
    }
    ~SilentListener()
    {
        close(m_filler);
        close(m_listener);
    }
    bool ok() const { return m_ok; }

private:
    int m_listener = socket(AF_INET, SOCK_STREAM, 0);
    int m_filler = socket(AF_INET, SOCK_STREAM, 0);
    bool m_ok = false;
};

} // namespace

class tst_NetworkUtilities : public QObject
{
    Q_OBJECT

private slots:
    void guids();
    void tcpActiveIp_data();
    void tcpActiveIp();
    void localAddresses();
};

void tst_NetworkUtilities::guids()
{
    const QString first = NetworkUtilities::GetGuid();
    QVERIFY(first.startsWith('{') && first.endsWith('}'));
    QVERIFY(!QUuid::fromString(first).isNull());
    QVERIFY(NetworkUtilities::GetGuid() != first);
}

// Servers listen on 127.0.0.1 (and, in some rows, 127.0.0.2) on one port;
// 127.0.0.4 never answers on that port, other loopback addresses refuse.
void tst_NetworkUtilities::tcpActiveIp_data()
{
    QTest::addColumn<QString>("addresses");
    QTest::addColumn<bool>("secondListens");
    QTest::addColumn<bool>("validPort");
    QTest::addColumn<bool>("onStdThread");
    QTest::addColumn<QString>("expected");

    QTest::newRow("only the listener") << "127.0.0.1" << false << true << false << "127.0.0.1";
    QTest::newRow("refused first") << "127.0.0.2,127.0.0.1" << false << true << false << "127.0.0.1";
    QTest::newRow("both accept: list order") << "127.0.0.2,127.0.0.1" << true << true << false << "127.0.0.2";
    QTest::newRow("silent address first") << "127.0.0.4,127.0.0.1" << false << true << false << "127.0.0.1";
    QTest::newRow("silent, refused, listener") << "127.0.0.4,127.0.0.3,127.0.0.1" << false << true << false
                                               << "127.0.0.1";
    QTest::newRow("only silent") << "127.0.0.4" << false << true << false << "";
    QTest::newRow("empty entries and spaces") << ",, 127.0.0.1 ," << false << true << false << "127.0.0.1";
    QTest::newRow("nobody accepts") << "127.0.0.2,127.0.0.3" << false << true << false << "";
    QTest::newRow("empty list") << "" << false << true << false << "";
    QTest::newRow("invalid port") << "127.0.0.1" << false << false << false << "";
    QTest::newRow("thread Qt did not start") << "127.0.0.2,127.0.0.1" << false << true << true << "127.0.0.1";
}

void tst_NetworkUtilities::tcpActiveIp()
{
    QFETCH(QString, addresses);
    QFETCH(bool, secondListens);
    QFETCH(bool, validPort);
    QFETCH(bool, onStdThread);
    QFETCH(QString, expected);

    QTcpServer first;
    QVERIFY(first.listen(QHostAddress("127.0.0.1")));
    QTcpServer second;
    if (secondListens)
        QVERIFY(second.listen(QHostAddress("127.0.0.2"), first.serverPort()));
    SilentListener silent(first.serverPort());
    QVERIFY(silent.ok());
    const QString port = validPort ? QString::number(first.serverPort()) : QStringLiteral("no port");

    QString result;
    if (onStdThread) {
        std::thread prober([&] { result = NetworkUtilities::getTcpActiveIp(addresses, port); });
        prober.join();
    } else {
        result = NetworkUtilities::getTcpActiveIp(addresses, port);
    }
    QCOMPARE(result, expected);
}

void tst_NetworkUtilities::localAddresses()
{
    const QStringList addresses = NetworkUtilities::getLocalAddresses().split(',');
    QCOMPARE(addresses.last(), QString("127.0.0.1"));
    QCOMPARE(addresses.count("127.0.0.1"), 1);
    QStringList unique = addresses;
    QCOMPARE(unique.removeDuplicates(), 0);
    for (const QString &address : addresses) {
        const QHostAddress parsed(address);
        QCOMPARE(parsed.protocol(), QAbstractSocket::IPv4Protocol);
        if (address != QLatin1String("127.0.0.1"))
            QVERIFY2(!parsed.isLoopback(), qPrintable(address));
    }
}

WIVORA_TEST_GUILESS_MAIN(tst_NetworkUtilities)
#include "tst_NetworkUtilities.moc"
