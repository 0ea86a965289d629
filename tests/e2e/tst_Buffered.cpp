// Records handed to the buffered delivery: whole at the receiver's plug-in
// whatever their size relative to the part size, and delivered exactly once
// to a receiver that was logged out when the record was handed over, also
// when the sender ended meanwhile and when the record is too large for one
// frame of the relay.

#include "QtTestSuite.h"
#include "BufferedCommandsStore.h"
#include "E2eFixture.h"

#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kPayload = QStringLiteral("payload");

// The buffered delivery relays a record through the server when its first
// part stays unacknowledged for the acknowledgement wait (85 s, scaled down
// here); a receiver that logs in meanwhile gets it from the relay.
const QString kAckTimeoutMs = QStringLiteral("5000");
// What the sender's log says once the server took a relayed record.
const QString kRelayedLine = QStringLiteral("buffered command relayed to bob: true");
constexpr int RelayedDeliveryTimeoutMs = 180000;

// A record whose binary form is exactly `size` bytes.
KvrConfig recordOfSize(int size)
{
    KvrConfig record = E2eFixture::newRecord(QStringLiteral("probe:::buffered"));
    record.SetValue(kPayload, QByteArray());
    const int padding = size - record.SerializeConfigBinary().size();
    record.SetValue(kPayload, E2eFixture::randomBytes(padding));
    return record;
}

} // namespace

class tst_Buffered : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordArrivesWhole_data();
    void recordArrivesWhole();
    void recordForLoggedOutUserArrivesOnce_data();
    void recordForLoggedOutUserArrivesOnce();

private:
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

void tst_Buffered::initTestCase()
{
    m_fixture.clientEnvironment.insert(QString::fromLatin1(ProbeProtocol::AckTimeoutVariable), kAckTimeoutMs);
    const QString failure = m_fixture.startContacts(&m_alice, &m_bob);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void tst_Buffered::recordArrivesWhole_data()
{
    QTest::addColumn<int>("size");

    QTest::newRow("one small part") << 100;
    QTest::newRow("exactly two parts") << 131072;
    QTest::newRow("two parts and one byte") << 131073;
}

void tst_Buffered::recordArrivesWhole()
{
    QFETCH(int, size);
    const KvrConfig record = recordOfSize(size);
    QCOMPARE(record.SerializeConfigBinary().size(), size);

    QVERIFY(m_alice->probe().buffer(kBob, record));
    const KvrConfig arrived = m_bob->probe().waitFor(record.GetID());

    QVERIFY2(!arrived.isEmpty(), qPrintable(m_alice->diagnostics()));
    QCOMPARE(arrived.gv(QStringLiteral("command")), QStringLiteral("probe:::buffered"));
    QCOMPARE(arrived.GetValue(kPayload), record.GetValue(kPayload));
    QCOMPARE(arrived.gv(QStringLiteral("Wivora::sender")), kAlice);
    QCOMPARE(m_bob->probe().commandsSeen(record.GetID()), 1);
}

void tst_Buffered::recordForLoggedOutUserArrivesOnce_data()
{
    // What the sender does while the receiver is away.
    QTest::addColumn<QString>("sender");
    QTest::addColumn<int>("size");

    // The sender keeps trying; the record reaches bob through the relay.
    QTest::newRow("sender stays logged in") << "stays" << 70000;
    // The sender's buffered records survive its logout; its next login sends them.
    QTest::newRow("sender logs in again after the receiver") << "restarts" << 70000;
    // Nothing is saved on the way out of a killed client: the file written
    // when the record was handed over is what brings it back.
    QTest::newRow("sender killed, started again after the receiver") << "killed" << 70000;
    // More than one relay request carries: relayed in parts, and only the
    // relay can bring it, as the sender is gone when the receiver comes.
    QTest::newRow("40 MiB record, sender gone once it was relayed") << "leaves" << 40 * 1024 * 1024;
}

void tst_Buffered::recordForLoggedOutUserArrivesOnce()
{
    QFETCH(QString, sender);
    QFETCH(int, size);

    QVERIFY2(m_bob->stop(), qPrintable(m_bob->diagnostics()));
    const int relaysBefore = m_alice->log().count(kRelayedLine);
    const KvrConfig record = recordOfSize(size);
    QVERIFY(m_alice->probe().buffer(kBob, record));
    if (sender == QLatin1String("restarts")) {
        QVERIFY2(m_alice->stop(), qPrintable(m_alice->diagnostics()));
    } else if (sender == QLatin1String("killed")) {
        QVERIFY(m_alice->kill());
    } else if (sender == QLatin1String("leaves")) {
        // Gone from the sender's file once the relay took it (a logout
        // before that leaves it there to be sent again).
        const QString folder = m_alice->storagePath(QStringLiteral("pluginsstorage/alice/"));
        const auto waitingForBob = [&] {
            const auto bytesOf = [](const QString &path) {
                QFile file(path);
                return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            };
            return BufferedCommandsStore::replay(bytesOf(folder + QStringLiteral("bufferedcommands.bff")),
                                                 bytesOf(folder + BufferedCommandsStore::JournalName))
                .queues.value(kBob)
                .size();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(m_alice->log().count(kRelayedLine) > relaysBefore && waitingForBob() == 0,
                                  qPrintable(m_alice->diagnostics()), RelayedDeliveryTimeoutMs);
        QVERIFY2(m_alice->stop(), qPrintable(m_alice->diagnostics()));
    }

    QVERIFY2(m_bob->start(), qPrintable(m_bob->diagnostics()));
    if (sender == QLatin1String("restarts") || sender == QLatin1String("killed"))
        QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));
    const KvrConfig arrived = m_bob->probe().waitFor(record.GetID(), RelayedDeliveryTimeoutMs);
    QVERIFY2(!arrived.isEmpty(), qPrintable(m_alice->diagnostics()));
    QCOMPARE(arrived.GetValue(kPayload), record.GetValue(kPayload));
    // Bob was away when alice tried: the relay carried it, once.
    if (sender == QLatin1String("stays") || sender == QLatin1String("leaves"))
        QCOMPARE(m_alice->log().count(kRelayedLine), relaysBefore + 1);
    if (sender == QLatin1String("leaves"))
        QVERIFY2(m_alice->start(), qPrintable(m_alice->diagnostics()));

    // A later record from the same sender comes after any repeat of the
    // first one would have: once it is there, the first arrived only once.
    const KvrConfig later = recordOfSize(100);
    QVERIFY(m_alice->probe().buffer(kBob, later));
    QVERIFY2(!m_bob->probe().waitFor(later.GetID(), RelayedDeliveryTimeoutMs).isEmpty(),
             qPrintable(m_alice->diagnostics()));
    QCOMPARE(m_bob->probe().commandsSeen(record.GetID()), 1);
}

WIVORA_TEST_GUILESS_MAIN(tst_Buffered)
#include "tst_Buffered.moc"
