// The server ping against a real wivora-server: the status is re-announced
// while the server answers, a server that stops answering is reported lost,
// a link that is already down is left alone.

#include "QtTestSuite.h"
#include "ClientSessionFixture.h"
#include "WPingThread.h"

#include <MainServerCommands.h>

#include <QSignalSpy>
#include <QtTest>

#include <csignal>

namespace {

const QString Alice = QStringLiteral("alice");

// Fast rounds for tests; the ping request itself keeps its real time-out.
void scaleForTest(WPingThread &ping)
{
    ping.setPingIntervalMs(150);
    ping.setPeerCheckIntervalMs(150);
    ping.setStepMs(20);
}

QByteArray statusOnServer(const QString &user)
{
    return MainServerCommands::getUserStatus(user).GetValue(QStringLiteral("user::") + user);
}

} // namespace

class tst_WPingThread : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void serverStates_data();
    void serverStates();
    void checkingOffOnlyWaits();
    void stopsPromptlyAndStartsAgain();
    void peerLinkWalkGetsTheKeepAlive();

private:
    QScopedPointer<ClientSessionFixture> m_fixture;
    QScopedPointer<SessionState> m_session;
};

void tst_WPingThread::init()
{
    m_fixture.reset(new ClientSessionFixture);
    QVERIFY2(m_fixture->start({Alice, QStringLiteral("bob")}), qPrintable(m_fixture->server.errorText()));
    m_session.reset(new SessionState);
    QVERIFY(m_fixture->logIn(*m_session, Alice));
    // The status as login announced it; the ping rounds re-announce the account's.
    QVERIFY(WServerCommands::UpdateUserStatus(1, m_session->serverLink()));
    m_session->account()->setStatus(3);
}

void tst_WPingThread::cleanup()
{
    if (const qint64 pid = m_fixture->server.processId())
        ::kill(pid_t(pid), SIGCONT);
    m_session.reset();
    m_fixture.reset();
}

void tst_WPingThread::serverStates_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<bool>("lost");
    QTest::newRow("answering") << "answering" << false;
    QTest::newRow("frozen") << "frozen" << true;
    QTest::newRow("gone") << "gone" << false;
}

void tst_WPingThread::serverStates()
{
    QFETCH(QString, server);
    QFETCH(bool, lost);
    // Someone else watches alice's status on the server.
    const auto bob = m_fixture->loggedInLink(QStringLiteral("bob"));
    QVERIFY(bob);
    if (server == QLatin1String("frozen"))
        QCOMPARE(::kill(pid_t(m_fixture->server.processId()), SIGSTOP), 0);
    else if (server == QLatin1String("gone"))
        QVERIFY(m_fixture->server.stop());
    if (server == QLatin1String("gone"))
        QTRY_VERIFY(!m_session->serverLink()->isConnected());

    WPingThread ping(m_session.data());
    scaleForTest(ping);
    QSignalSpy lostSignal(&ping, &WPingThread::signalMainConnectionLost);
    ping.start();
    ping.startChecking();

    if (server == QLatin1String("answering"))
        QTRY_COMPARE_WITH_TIMEOUT(statusOnServer(Alice), QByteArray("3"), 10000);
    else if (lost)
        QTRY_VERIFY_WITH_TIMEOUT(!lostSignal.isEmpty(), 30000); // one ping time-out
    else
        QTest::qWait(1000); // several rounds
    ping.stopChecking();

    QCOMPARE(!lostSignal.isEmpty(), lost);
    QVERIFY(ping.wait(15000));
}

void tst_WPingThread::checkingOffOnlyWaits()
{
    WPingThread ping(m_session.data());
    scaleForTest(ping);
    ping.start();
    QTest::qWait(1000); // several rounds' worth

    QCOMPARE(statusOnServer(Alice), QByteArray("1"));
    ping.stopChecking();
    QVERIFY(ping.wait(5000));
}

void tst_WPingThread::stopsPromptlyAndStartsAgain()
{
    WPingThread ping(m_session.data()); // real ninety-second interval
    ping.start();
    ping.startChecking();
    QTest::qWait(50);
    ping.stopChecking();
    // The loop left its pause at once: the thread ends without a round.
    QVERIFY(ping.wait(2000));

    // The next login starts the same thread again.
    scaleForTest(ping);
    ping.start();
    ping.startChecking();
    QTRY_COMPARE_WITH_TIMEOUT(statusOnServer(Alice), QByteArray("3"), 10000);
    ping.stopChecking();
    QVERIFY(ping.wait(5000));
}

void tst_WPingThread::peerLinkWalkGetsTheKeepAlive()
{
    WPingThread ping(m_session.data());
    scaleForTest(ping);
    QMutex mutex;
    QList<KvrConfig> seen;
    ping.setPeerLinkWalk([&](const KvrConfig &keepAlive, const std::function<bool()> &) {
        QMutexLocker lock(&mutex);
        seen << keepAlive;
    });
    ping.start();
    ping.startChecking();
    QTRY_VERIFY_WITH_TIMEOUT([&] { QMutexLocker lock(&mutex); return seen.size() >= 2; }(), 10000);
    ping.stopChecking();
    QVERIFY(ping.wait(5000));

    // One keep-alive record per run of the loop.
    QCOMPARE(seen.at(0).gv(QStringLiteral("command")), QStringLiteral("ping"));
    QVERIFY(!seen.at(0).gv(QStringLiteral("ID")).isEmpty());
    QCOMPARE(seen.at(1), seen.at(0));
}

WIVORA_TEST_MAIN(tst_WPingThread)
#include "tst_WPingThread.moc"
