// The listening server for links that peers open.

#include "QtTestSuite.h"
#include "SessionState.h"
#include "WTcpServer.h"

#include <WivoraAccount.h>

#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <unistd.h>

class tst_WTcpServer : public QObject
{
    Q_OBJECT

private slots:
    void startListening_data();
    void startListening();
    void acceptedSocketIsHandedOnAsDescriptor();
};

void tst_WTcpServer::startListening_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<bool>("listens");

    QTest::newRow("account's port") << true << false << true;
    QTest::newRow("port held by another program: another port") << true << true << true;
    QTest::newRow("nobody logged in") << false << false << false;
}

void tst_WTcpServer::startListening()
{
    QFETCH(bool, loggedIn);
    QFETCH(bool, portTaken);
    QFETCH(bool, listens);

    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::AnyIPv4, 0));
    const quint16 port = other.serverPort();
    if (!portTaken)
        other.close();

    SessionState session;
    if (loggedIn)
        session.account()->setUserName(QStringLiteral("alice"));
    session.account()->settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(port));
    WTcpServer server(&session);
    if (portTaken)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("port %1 is not free").arg(port)));
    QCOMPARE(server.startListening(), listens);
    QCOMPARE(server.isListening(), listens);
    if (listens) {
        QCOMPARE(server.serverPort() == port, !portTaken);
        QVERIFY(server.serverPort() != 0);
    }
    // The session announces the port in use.
    QCOMPARE(session.listeningPort(), listens ? server.serverPort() : quint16(0));
    server.stopListening();
    QCOMPARE(session.listeningPort(), quint16(0));
}

void tst_WTcpServer::acceptedSocketIsHandedOnAsDescriptor()
{
    SessionState session;
    session.account()->setUserName(QStringLiteral("alice"));
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    session.account()->settingsData->setSetting(QStringLiteral("servers/tcpport"), QByteArray::number(port));
    WTcpServer server(&session);
    QVERIFY(server.startListening());
    QSignalSpy arrived(&server, &WTcpServer::signalNewConnectionArrived);

    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(arrived.wait(10000));
    const int descriptor = arrived.first().first().toInt();
    QVERIFY(descriptor >= 0);
    // No socket object took it: whoever receives the descriptor owns it.
    QVERIFY(!server.hasPendingConnections());
    QCOMPARE(::close(descriptor), 0);
}

WIVORA_TEST_GUILESS_MAIN(tst_WTcpServer)
#include "tst_WTcpServer.moc"
