// The link object over a real loopback TCP link: its idleness counts only
// this side's useful sending, and a disconnect closes it at once.

#include "QtTestSuite.h"
#include "WTcpConnection.h"

#include <WCryptography.h>

#include <QTcpServer>
#include <QtConcurrent>
#include <QtTest>

namespace {

class DescriptorServer : public QTcpServer
{
public:
    qintptr descriptor = -1;

protected:
    void incomingConnection(qintptr socketDescriptor) override { descriptor = socketDescriptor; }
};

KvrConfig record(const QString &command)
{
    KvrConfig result;
    result.SetID();
    result.sv(QStringLiteral("command"), command);
    return result;
}

} // namespace

class tst_WTcpConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void idleness_data();
    void idleness();
    void disconnectClosesAtOnce();
    void getCommandOfAnIdThatNeverCameIsEmpty();

private:
    WKeyPair m_keys;
    std::unique_ptr<WTcpConnection> m_connecting;
    std::unique_ptr<WTcpConnection> m_accepting;
};

void tst_WTcpConnection::initTestCase()
{
    m_keys = WCryptography::GenerateKeyPair();
    QVERIFY(m_keys.isValid());
}

void tst_WTcpConnection::init()
{
    DescriptorServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    m_connecting.reset(new WTcpConnection);
    m_accepting.reset(new WTcpConnection);
    m_accepting->setKeyPair(m_keys.publicKey, m_keys.privateKey);
    QFuture<bool> connected = QtConcurrent::run([&] {
        return m_connecting->connectToHost(QStringLiteral("127.0.0.1"), QString::number(server.serverPort()),
                                           m_keys.publicKey);
    });
    QVERIFY(server.waitForNewConnection(10000));
    QVERIFY(m_accepting->setSocketDesctiptor(server.descriptor));
    QVERIFY(connected.result());
    QVERIFY(m_connecting->isConnected());
}

void tst_WTcpConnection::cleanup()
{
    m_connecting.reset();
    m_accepting.reset();
}

void tst_WTcpConnection::idleness_data()
{
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<bool>("byWaitingSend");
    QTest::addColumn<bool>("idle");

    QTest::newRow("keep-alives only") << QStringList{"ping", "pong"} << false << true;
    QTest::newRow("keep-alive sent waiting") << QStringList{"ping"} << true << true;
    QTest::newRow("plug-in record") << QStringList{"ping", "echo:::x"} << false << false;
    QTest::newRow("plug-in record sent waiting") << QStringList{"echo:::x"} << true << false;
    QTest::newRow("name that merely contains ping") << QStringList{"pings"} << false << false;
}

void tst_WTcpConnection::idleness()
{
    QFETCH(QStringList, sent);
    QFETCH(bool, byWaitingSend);
    QFETCH(bool, idle);

    QThread::msleep(1100);
    for (const QString &command : sent) {
        if (byWaitingSend)
            m_connecting->sendCommand(record(command), 10);
        else
            QVERIFY(m_connecting->pushCommand(record(command)));
    }
    QCOMPARE(m_connecting->getIdleSeconds() >= 1, idle);
    // Receiving is not activity of the receiving side.
    QVERIFY(m_accepting->getIdleSeconds() >= 1);
}

void tst_WTcpConnection::disconnectClosesAtOnce()
{
    QVERIFY(m_connecting->disconnectFromHost());
    QVERIFY(m_connecting->isClosed());
    QVERIFY(!m_connecting->isConnected());
    QVERIFY(!m_connecting->pushCommand(record(QStringLiteral("echo:::x"))));
    // The far side learns of the end from its transport.
    QTRY_VERIFY(m_accepting->isClosed());
    QVERIFY(!m_accepting->isConnected());
}

void tst_WTcpConnection::getCommandOfAnIdThatNeverCameIsEmpty()
{
    const KvrConfig sent = record(QStringLiteral("echo:::x"));
    QVERIFY(m_connecting->pushCommand(sent));
    QVERIFY(m_accepting->getCommand(QStringLiteral("{never}"), 200).isEmpty());
    QCOMPARE(m_accepting->getCommand(sent.GetID(), 10000), sent);
}

WIVORA_TEST_GUILESS_MAIN(tst_WTcpConnection)
#include "tst_WTcpConnection.moc"
