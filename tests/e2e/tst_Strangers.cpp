// A program that connects to a client's listening port and never proves who
// it is gets nothing routed: whatever it sends, no plug-in of the client is
// offered it and nothing comes back but the answer to a keep-alive.

#include "QtTestSuite.h"
#include "E2eFixture.h"

#include <ServerProtocol.h>

#include <QtTest>

namespace {

const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
const QString kCommand = QStringLiteral("command");

KvrConfig ping()
{
    KvrConfig record;
    record.SetID();
    record.sv(kCommand, QString::fromLatin1(ServerProtocol::Ping));
    return record;
}

} // namespace

class tst_Strangers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unauthenticatedRecordIsDropped_data();
    void unauthenticatedRecordIsDropped();

private:
    E2eFixture m_fixture;
    std::unique_ptr<ClientProcess> m_alice;
    std::unique_ptr<ClientProcess> m_bob;
};

void tst_Strangers::initTestCase()
{
    const QString failure = m_fixture.startContacts(&m_alice, &m_bob);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
}

void tst_Strangers::unauthenticatedRecordIsDropped_data()
{
    QTest::addColumn<KvrConfig>("record");
    // The "ID" a routed record would reach bob's plug-ins with.
    QTest::addColumn<QString>("routedId");

    KvrConfig listing = E2eFixture::newRecord(QStringLiteral("wftp:::listDirectory"));
    listing.sv(QStringLiteral("user"), kAlice);
    listing.sv(QStringLiteral("path"), QStringLiteral("vrs/bob/myshareddisc/root"));
    listing.sv(QStringLiteral("Wivora::sender"), kAlice);
    QTest::newRow("file-sharing request") << listing << listing.GetID();

    const KvrConfig echo = E2eFixture::newRecord(QStringLiteral("echo:::ping"), 64);
    QTest::newRow("request a plug-in answers") << echo << echo.GetID();

    const KvrConfig web = E2eFixture::newRecord(QStringLiteral("WebLocal::echo:::ping"));
    QTest::newRow("web server's request") << web << web.GetID();

    // One whole record in a single buffered part.
    const KvrConfig smuggled = E2eFixture::newRecord(QStringLiteral("probe:::smuggled"), 64);
    KvrConfig part = E2eFixture::newRecord(QStringLiteral("User::bufferedCommand"));
    part.sv(QStringLiteral("commandid"), smuggled.GetID());
    part.sv(QStringLiteral("part"), QStringLiteral("0"));
    part.sv(QStringLiteral("totalsize"), QStringLiteral("0"));
    part.SetValue(QStringLiteral("data"), smuggled.SerializeConfigBinary());
    QTest::newRow("buffered part") << part << smuggled.GetID();
}

void tst_Strangers::unauthenticatedRecordIsDropped()
{
    QFETCH(KvrConfig, record);
    QFETCH(QString, routedId);

    // The stranger speaks the link protocol: bob's key is public.
    const QString bobKey = E2eFixture::publicKeyOf(kBob);
    QVERIFY(!bobKey.isEmpty());
    TcpConnection stranger;
    QVERIFY(stranger.connectToHost(QStringLiteral("127.0.0.1"), QString::number(m_bob->listeningPort()), bobKey));
    // Bob serves the link: keep-alives are answered.
    QCOMPARE(stranger.sendCommand(ping(), ProbeClient::RoadTimeoutMs).gv(kCommand), QStringLiteral("pong"));

    QVERIFY(stranger.pushCommand(record));
    // Records of one link are judged in order: once this answer is back,
    // bob has judged the record.
    QCOMPARE(stranger.sendCommand(ping(), ProbeClient::RoadTimeoutMs).gv(kCommand), QStringLiteral("pong"));
    // And a request of a contact crosses bob's plug-ins after it.
    const KvrConfig contactRequest = E2eFixture::newRecord(QStringLiteral("echo:::ping"));
    QVERIFY(!m_alice->probe().request(kBob, contactRequest).isEmpty());

    QCOMPARE(m_bob->probe().commandsSeen(routedId), 0);
    QVERIFY(stranger.getCommand(record.GetID(), 0).isEmpty());
    QVERIFY(m_bob->isRunning());
}

WIVORA_TEST_GUILESS_MAIN(tst_Strangers)
#include "tst_Strangers.moc"
