// A link whose peer stopped answering (its client suspended, its machine
// gone) is closed within the keep-alive bound, and once the peer answers
// again the next request makes a fresh link that works.

#include "QtTestSuite.h"
#include "E2eFixture.h"

#include <QScopeGuard>
#include <QThread>
#include <QtTest>

#include <csignal>

namespace {

const QString kBob = QStringLiteral("bob");
const QString kConnectionId = QStringLiteral("Wivora::connectionID");

// The clients check their links every two seconds here instead of every ten
// (and wait four intervals for an answer).
const QString kPeerCheckMs = QStringLiteral("2000");
// The bound on noticing a dead link (unscaled: a check every ten seconds and
// ten to answer); the scaled checks here notice it within about ten seconds.
constexpr int DeadLinkBoundMs = 30000;

} // namespace

class tst_PeerLinks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void silentPeersLinkIsReplaced_data();
    void silentPeersLinkIsReplaced();

private:
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

void tst_PeerLinks::initTestCase()
{
    m_fixture.clientEnvironment.insert(QString::fromLatin1(ProbeProtocol::PeerCheckVariable), kPeerCheckMs);
    const QString failure = m_fixture.startContacts(&m_alice, &m_bob);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void tst_PeerLinks::silentPeersLinkIsReplaced_data()
{
    QTest::addColumn<bool>("serverConnection");

    QTest::newRow("direct link") << false;
    QTest::newRow("server-mode link") << true;
}

void tst_PeerLinks::silentPeersLinkIsReplaced()
{
    QFETCH(bool, serverConnection);
    const QString link = m_alice->probe().open(kBob, serverConnection);
    QVERIFY2(!link.isEmpty(), qPrintable(m_alice->diagnostics()));
    QVERIFY(m_alice->probe().isActive(link));

    const pid_t bobPid = pid_t(m_bob->processId());
    QVERIFY(bobPid > 0);
    QCOMPARE(::kill(bobPid, SIGSTOP), 0);
    auto resume = qScopeGuard([bobPid] { ::kill(bobPid, SIGCONT); });
    const QDeadlineTimer bound(DeadLinkBoundMs);
    while (m_alice->probe().isActive(link) && !bound.hasExpired())
        QThread::msleep(100);
    QVERIFY2(!m_alice->probe().isActive(link), qPrintable(m_alice->diagnostics()));

    resume.dismiss();
    QCOMPARE(::kill(bobPid, SIGCONT), 0);
    // Bob's own probe answering shows his process runs again.
    QVERIFY(!m_bob->probe().isActive(link));
    const KvrConfig ping = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 128);
    const KvrConfig reply = m_alice->probe().request(kBob, ping, serverConnection);
    QVERIFY2(!reply.isEmpty(), qPrintable(m_alice->diagnostics()));
    QCOMPARE(reply.GetValue(QStringLiteral("payload")), ping.GetValue(QStringLiteral("payload")));
    QVERIFY(reply.gv(kConnectionId) != link);
}

WIVORA_TEST_GUILESS_MAIN(tst_PeerLinks)
#include "tst_PeerLinks.moc"
