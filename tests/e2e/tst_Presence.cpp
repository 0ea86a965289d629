// A status the user sets reaches the contacts: their contacts tree holds the
// new status and their plug-ins hear "signalContactEdited" for the user.

#include "QtTestSuite.h"
#include "E2eFixture.h"

#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");

} // namespace

class tst_Presence : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void statusReachesContact_data();
    void statusReachesContact();

private:
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

void tst_Presence::initTestCase()
{
    const QString failure = m_fixture.startContacts(&m_alice, &m_bob);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    // Bob's view of alice before anything changes: online.
    QTRY_COMPARE_WITH_TIMEOUT(m_bob->probe().contactValue(QStringLiteral("alice/status")), QByteArray("1"),
                              ProbeClient::RoadTimeoutMs);
}

void tst_Presence::statusReachesContact_data()
{
    QTest::addColumn<int>("status");

    // In this order: each row changes the status the row before left.
    QTest::newRow("away") << 2;
    QTest::newRow("do not disturb") << 3;
    QTest::newRow("online again") << 1;
}

void tst_Presence::statusReachesContact()
{
    QFETCH(int, status);
    QVERIFY(m_bob->probe().clearEvents());

    QVERIFY(m_alice->probe().setStatus(status));

    QTRY_COMPARE_WITH_TIMEOUT(m_bob->probe().contactValue(QStringLiteral("alice/status")),
                              QByteArray::number(status), ProbeClient::RoadTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_bob->probe().signalsSeen(QStringLiteral("signalContactEdited"), QStringLiteral("username"), kAlice) > 0,
        ProbeClient::RoadTimeoutMs);
    // Alice's own plug-ins hear of her new status too.
    QTRY_VERIFY_WITH_TIMEOUT(m_alice->probe().signalsSeen(QStringLiteral("signalUserStatusChanged"),
                                                          QStringLiteral("status"), QString::number(status))
                                 > 0,
                             ProbeClient::RoadTimeoutMs);
}

WIVORA_TEST_GUILESS_MAIN(tst_Presence)
#include "tst_Presence.moc"
