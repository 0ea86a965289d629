#include "QtTestSuite.h"
#include "UdpConnection.h"
#include "UdpRendezvous.h"
#include "UdpTower.h"

#include "KvrConfig.h"
#include "PSettings.h"
#include "WCryptography.h"

#include <QRandomGenerator>
#include <QUdpSocket>
#include <QtTest>

#include <boost/asio/executor_work_guard.hpp>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");
const QString kAlice = QStringLiteral("alice");
const QString kBob = QStringLiteral("bob");
constexpr int kConnectTimeoutMs = 5000;
constexpr int kArrivalTimeoutMs = 60000;

KvrConfig recordWithPayload(int payloadSize, int index = 0)
{
    KvrConfig record;
    record.SetID();
    record.SetValue(QStringLiteral("command"), "test:::chunk");
    record.SetValue(QStringLiteral("index"), index);
    QByteArray payload(payloadSize, Qt::Uninitialized);
    for (int i = 0; i < payloadSize; ++i)
        payload[i] = char(QRandomGenerator::global()->bounded(256));
    record.SetValue(QStringLiteral("payload"), payload);
    return record;
}

// The callers draw session numbers from an unseeded-by-time random source.
int freshSession()
{
    return QRandomGenerator::global()->bounded(1, 1 << 30);
}

} // namespace

// Two clients on loopback, each with its own UDP endpoint, paired through a
// real rendezvous. The test plays the main server: when an initiator joins,
// it "pushes" the session to the acceptor, which then joins from a thread of
// its own, as the link manager would.
class tst_UdpConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void identityDecidesTheLink_data();
    void identityDecidesTheLink();
    void recordsCrossWholeAndInOrderDespiteLoss_data();
    void recordsCrossWholeAndInOrderDespiteLoss();
    void recordSizeLimit_data();
    void recordSizeLimit();
    void getCommandTakesEachRecordOnce();
    void sendCommandWaitsForItsReply_data();
    void sendCommandWaitsForItsReply();
    void inboxKeepsRecordsUpToTheirAge_data();
    void inboxKeepsRecordsUpToTheirAge();
    void unjoinedSessionFails();
    void disconnectEndsBothSidesOnce_data();
    void disconnectEndsBothSidesOnce();
    void strayDatagramsDoNotDisturbALink();

private:
    struct Plan
    {
        WKeyPair initiatorKeys;
        QString sealTo;       // the public key the initiator seals the session key to
        QString acceptorTrusts; // the public key the acceptor verifies the sender with
        bool serverAccepts = true;
        bool acceptorJoins = true;
        int timeoutMs = kConnectTimeoutMs;
    };
    Plan genuinePlan() const;
    // Makes both links and connects them by the plan; true when both ends came up.
    bool connectPair(const Plan &plan);
    bool onInitiatorJoin(int session, const QString &own, const QString &peer);

    boost::asio::io_context io;
    std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
    std::thread ioThread;
    WKeyPair aliceKeys;
    WKeyPair bobKeys;
    WKeyPair malloryKeys;

    std::unique_ptr<UdpRendezvous> rendezvous;
    QSharedPointer<UdpTower> aliceTower;
    QSharedPointer<UdpTower> bobTower;
    std::unique_ptr<UdpConnection> initiator;
    std::unique_ptr<UdpConnection> acceptor;

    std::mutex planMutex;
    Plan plan;
    std::shared_future<bool> acceptorResult;
    std::atomic<int> acceptorStarts{0};
};

void tst_UdpConnection::initTestCase()
{
    aliceKeys = WCryptography::GenerateKeyPair();
    bobKeys = WCryptography::GenerateKeyPair();
    malloryKeys = WCryptography::GenerateKeyPair();
    QVERIFY(aliceKeys.isValid() && bobKeys.isValid() && malloryKeys.isValid());
    work = std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
        io.get_executor());
    ioThread = std::thread([this] { io.run(); });
}

void tst_UdpConnection::cleanupTestCase()
{
    work.reset();
    io.stop();
    ioThread.join();
}

void tst_UdpConnection::init()
{
    acceptorStarts = 0;
    acceptorResult = std::shared_future<bool>();
    rendezvous = std::make_unique<UdpRendezvous>(
        io, [this](int session, const QString &own, const QString &peer, const UdpRendezvous::Endpoint &) {
            return onInitiatorJoin(session, own, peer);
        });
    QVERIFY(rendezvous->listen(kLoopback, 0));
    PSettings::SetValue(QStringLiteral("service/port"), rendezvous->port());
    aliceTower.reset(new UdpTower(io, UdpTower::Binding::Loopback));
    bobTower.reset(new UdpTower(io, UdpTower::Binding::Loopback));
    QVERIFY(aliceTower->isValid() && bobTower->isValid());
    QVERIFY(aliceTower->localPort() != bobTower->localPort());
}

void tst_UdpConnection::cleanup()
{
    if (acceptorResult.valid())
        acceptorResult.wait();
    initiator.reset();
    acceptor.reset();
    aliceTower.reset();
    bobTower.reset();
    rendezvous.reset();
}

tst_UdpConnection::Plan tst_UdpConnection::genuinePlan() const
{
    Plan genuine;
    genuine.initiatorKeys = aliceKeys;
    genuine.sealTo = bobKeys.publicKey;
    genuine.acceptorTrusts = aliceKeys.publicKey;
    return genuine;
}

bool tst_UdpConnection::onInitiatorJoin(int session, const QString &own, const QString &peer)
{
    std::lock_guard<std::mutex> lock(planMutex);
    if (!plan.serverAccepts)
        return false;
    if (plan.acceptorJoins && own == kAlice && peer == kBob) {
        ++acceptorStarts;
        UdpConnection *link = acceptor.get();
        const int timeoutMs = plan.timeoutMs;
        // "Local::InitUdpConnection" {"sessionid": session, "sender": own} reaches the peer.
        acceptorResult = std::async(std::launch::async, [link, session, own, peer, timeoutMs] {
            return link->connectToHost(session, kLoopback, peer, own, timeoutMs);
        }).share();
    }
    return true;
}

bool tst_UdpConnection::connectPair(const Plan &pairPlan)
{
    {
        std::lock_guard<std::mutex> lock(planMutex);
        plan = pairPlan;
        initiator = std::make_unique<UdpConnection>(aliceTower);
        acceptor = std::make_unique<UdpConnection>(bobTower);
    }
    initiator->setKeyPair(pairPlan.initiatorKeys.publicKey, pairPlan.initiatorKeys.privateKey);
    acceptor->setKeyPair(bobKeys.publicKey, bobKeys.privateKey);
    acceptor->setPeerPublicKey(pairPlan.acceptorTrusts);

    const bool initiated =
        initiator->connectToHost(freshSession(), kLoopback, kAlice, kBob, pairPlan.sealTo, pairPlan.timeoutMs);
    std::shared_future<bool> acceptorFinished;
    {
        std::lock_guard<std::mutex> lock(planMutex);
        acceptorFinished = acceptorResult;
    }
    const bool accepted = acceptorStarts > 0 && acceptorFinished.get();
    if (initiated != accepted)
        qWarning("ends disagree: initiator %d, acceptor %d", initiated, accepted);
    return initiated && accepted && initiator->isConnected() && acceptor->isConnected();
}

void tst_UdpConnection::identityDecidesTheLink_data()
{
    QTest::addColumn<QString>("signer");
    QTest::addColumn<QString>("sealedTo");
    QTest::addColumn<QString>("trusted");
    QTest::addColumn<bool>("serverAccepts");
    QTest::addColumn<bool>("connected");

    QTest::newRow("genuine pair") << "alice" << "bob" << "alice" << true << true;
    QTest::newRow("signed by someone else") << "mallory" << "bob" << "alice" << true << false;
    QTest::newRow("acceptor expects someone else") << "alice" << "bob" << "mallory" << true << false;
    QTest::newRow("key sealed to someone else") << "alice" << "mallory" << "alice" << true << false;
    QTest::newRow("acceptor knows no key for the sender") << "alice" << "bob" << "" << true << false;
    QTest::newRow("server refuses the initiator") << "alice" << "bob" << "alice" << false << false;
}

void tst_UdpConnection::identityDecidesTheLink()
{
    QFETCH(QString, signer);
    QFETCH(QString, sealedTo);
    QFETCH(QString, trusted);
    QFETCH(bool, serverAccepts);
    QFETCH(bool, connected);
    const QHash<QString, WKeyPair> keys{{"alice", aliceKeys}, {"bob", bobKeys}, {"mallory", malloryKeys}};

    Plan pairPlan;
    pairPlan.initiatorKeys = keys.value(signer);
    pairPlan.sealTo = keys.value(sealedTo).publicKey;
    pairPlan.acceptorTrusts = keys.value(trusted).publicKey;
    pairPlan.serverAccepts = serverAccepts;
    // Short, so that a refusal that is not passed on shows as a slow failure only.
    pairPlan.timeoutMs = 3000;
    QCOMPARE(connectPair(pairPlan), connected);
    QCOMPARE(initiator->isConnected(), connected);
    QCOMPARE(acceptor->isConnected(), connected);
    QCOMPARE(acceptorStarts.load(), serverAccepts ? 1 : 0);
}

void tst_UdpConnection::recordsCrossWholeAndInOrderDespiteLoss_data()
{
    QTest::addColumn<bool>("fromInitiator");
    QTest::newRow("initiator to acceptor") << true;
    QTest::newRow("acceptor to initiator") << false;
}

void tst_UdpConnection::recordsCrossWholeAndInOrderDespiteLoss()
{
    QFETCH(bool, fromInitiator);
    aliceTower->setDropRateForTesting(0.05);
    bobTower->setDropRateForTesting(0.05);
    Plan lossyPlan = genuinePlan();
    lossyPlan.timeoutMs = UdpConnection::DefaultConnectTimeoutMs;
    QVERIFY(connectPair(lossyPlan));
    UdpConnection *sender = fromInitiator ? initiator.get() : acceptor.get();
    UdpConnection *receiver = fromInitiator ? acceptor.get() : initiator.get();
    QSignalSpy announced(receiver, &UdpConnection::signalCommandReceived);

    const QList<int> sizes{1024 * 1024, 10, 300 * 1024, 1024 * 1024, 0, 70000};
    QList<KvrConfig> sent;
    for (int i = 0; i < sizes.size(); ++i) {
        sent.append(recordWithPayload(sizes.at(i), i));
        QVERIFY(sender->pushCommand(sent.last()));
    }

    QTRY_COMPARE_WITH_TIMEOUT(announced.size(), sent.size(), kArrivalTimeoutMs);
    for (int i = 0; i < sent.size(); ++i) {
        QCOMPARE(announced.at(i).at(0).toString(), sent.at(i).GetID());
        QCOMPARE(announced.at(i).at(1).toString(), QStringLiteral("test:::chunk"));
        QVERIFY2(receiver->getCommand(sent.at(i).GetID(), 0) == sent.at(i), qPrintable(QString::number(i)));
    }
}

void tst_UdpConnection::recordSizeLimit_data()
{
    QTest::addColumn<int>("bytesOverLimit");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("binary form of exactly 16 MiB") << 0 << true;
    QTest::newRow("one byte more") << 1 << false;
}

void tst_UdpConnection::recordSizeLimit()
{
    QFETCH(int, bytesOverLimit);
    QFETCH(bool, accepted);
    QVERIFY(!UdpConnection(aliceTower).pushCommand(recordWithPayload(10)));
    QVERIFY(connectPair(genuinePlan()));

    KvrConfig record = recordWithPayload(0);
    const int overhead = record.SerializeConfigBinary().size();
    record.SetValue(QStringLiteral("payload"),
                    QByteArray(UdpConnection::MaxRecordSize - overhead + bytesOverLimit, 'p'));
    QCOMPARE(record.SerializeConfigBinary().size(), UdpConnection::MaxRecordSize + bytesOverLimit);
    QCOMPARE(initiator->pushCommand(record), accepted);

    // The link carries on either way.
    const KvrConfig after = recordWithPayload(100, 1);
    QVERIFY(initiator->pushCommand(after));
    if (accepted)
        QVERIFY(acceptor->getCommand(record.GetID(), kArrivalTimeoutMs) == record);
    QVERIFY(acceptor->getCommand(after.GetID(), kArrivalTimeoutMs) == after);
    QVERIFY(acceptor->isConnected());
}

void tst_UdpConnection::getCommandTakesEachRecordOnce()
{
    QVERIFY(connectPair(genuinePlan()));
    QSignalSpy announced(acceptor.get(), &UdpConnection::signalCommandReceived);
    const KvrConfig record = recordWithPayload(64);

    QVERIFY(initiator->pushCommand(record));
    QVERIFY(acceptor->getCommand(record.GetID(), kArrivalTimeoutMs) == record);
    QVERIFY(acceptor->getCommand(record.GetID(), 100).isEmpty());
    QVERIFY(acceptor->getCommand(QStringLiteral("{no-such-id}"), 100).isEmpty());
    QTRY_COMPARE(announced.size(), 1);
    QCOMPARE(announced.first().at(0).toString(), record.GetID());
    QCOMPARE(announced.first().at(1).toString(), QStringLiteral("test:::chunk"));
}

void tst_UdpConnection::sendCommandWaitsForItsReply_data()
{
    QTest::addColumn<bool>("answerInTime");
    QTest::newRow("reply in time") << true;
    QTest::newRow("reply after the wait") << false;
}

void tst_UdpConnection::sendCommandWaitsForItsReply()
{
    QFETCH(bool, answerInTime);
    QVERIFY(connectPair(genuinePlan()));
    QSignalSpy initiatorAnnounced(initiator.get(), &UdpConnection::signalCommandReceived);

    UdpConnection *answerer = acceptor.get();
    auto replyTo = [answerer](const QString &id) {
        const KvrConfig request = answerer->getCommand(id, 1000);
        KvrConfig reply;
        reply.SetValue(QStringLiteral("ID"), request.GetID());
        reply.SetValue(QStringLiteral("command"), request.gv(QStringLiteral("command")) + ":callback");
        reply.SetValue(QStringLiteral("echo"), request.GetValue(QStringLiteral("payload")));
        reply.SetResult(true);
        return answerer->pushCommand(reply);
    };
    QStringList requests;
    connect(acceptor.get(), &UdpConnection::signalCommandReceived, this, [&](const QString &id) {
        requests.append(id);
        if (answerInTime && requests.size() == 1)
            replyTo(id);
    });

    // Without an "ID" no reply could be told apart: nothing is sent.
    QVERIFY(initiator->sendCommand(KvrConfig(), 100).isEmpty());

    const KvrConfig request = recordWithPayload(1000);
    const KvrConfig reply = initiator->sendCommand(request, answerInTime ? kArrivalTimeoutMs : 300);
    if (answerInTime) {
        QCOMPARE(reply.GetID(), request.GetID());
        QCOMPARE(reply.GetValue(QStringLiteral("echo")), request.GetValue(QStringLiteral("payload")));
        QVERIFY(reply.checkResult());
        QCOMPARE(requests, QStringList{request.GetID()});
        // Give a wrongly announced reply the chance to show.
        QVERIFY(initiator->pushCommand(recordWithPayload(1)));
        QTRY_COMPARE(requests.size(), 2);
        QCOMPARE(initiatorAnnounced.size(), 0);
        return;
    }
    QVERIFY(reply.isEmpty());
    QTRY_COMPARE(requests, QStringList{request.GetID()});
    QVERIFY(replyTo(request.GetID()));
    // The late reply is an ordinary arrival: announced and kept.
    QTRY_COMPARE(initiatorAnnounced.size(), 1);
    QCOMPARE(initiatorAnnounced.first().at(0).toString(), request.GetID());
    QCOMPARE(initiator->getCommand(request.GetID(), 0).GetValue(QStringLiteral("echo")),
             request.GetValue(QStringLiteral("payload")));
}

void tst_UdpConnection::inboxKeepsRecordsUpToTheirAge_data()
{
    QTest::addColumn<int>("maxAgeMs");
    QTest::addColumn<bool>("kept");
    QTest::newRow("young enough") << 120000 << true;
    QTest::newRow("too old") << 1 << false;
}

void tst_UdpConnection::inboxKeepsRecordsUpToTheirAge()
{
    QFETCH(int, maxAgeMs);
    QFETCH(bool, kept);
    QVERIFY(connectPair(genuinePlan()));
    acceptor->setInboxMaxAge(maxAgeMs);
    QSignalSpy announced(acceptor.get(), &UdpConnection::signalCommandReceived);
    const KvrConfig record = recordWithPayload(10);

    QVERIFY(initiator->pushCommand(record));
    QTRY_COMPARE(announced.size(), 1);
    QTest::qWait(50);
    QCOMPARE(acceptor->getCommand(record.GetID(), 0) == record, kept);
}

void tst_UdpConnection::unjoinedSessionFails()
{
    Plan lonely = genuinePlan();
    lonely.acceptorJoins = false;
    lonely.timeoutMs = 1500;
    QVERIFY(!connectPair(lonely));
    QVERIFY(!initiator->isConnected());
    QVERIFY(!initiator->pushCommand(recordWithPayload(1)));
    // A link is made for one attempt.
    QVERIFY(!initiator->connectToHost(freshSession(), kLoopback, kAlice, kBob, bobKeys.publicKey, 1000));

    // The abandoned attempt leaves the endpoints fit for the next link.
    QVERIFY(connectPair(genuinePlan()));
}

void tst_UdpConnection::disconnectEndsBothSidesOnce_data()
{
    QTest::addColumn<bool>("initiatorCloses");
    QTest::newRow("initiator closes") << true;
    QTest::newRow("acceptor closes") << false;
}

void tst_UdpConnection::disconnectEndsBothSidesOnce()
{
    QFETCH(bool, initiatorCloses);
    QVERIFY(connectPair(genuinePlan()));
    UdpConnection *closer = initiatorCloses ? initiator.get() : acceptor.get();
    UdpConnection *other = initiatorCloses ? acceptor.get() : initiator.get();
    QSignalSpy closerEnded(closer, &UdpConnection::signalConnectionEnded);
    QSignalSpy otherEnded(other, &UdpConnection::signalConnectionEnded);

    // Pushed just before the close: still delivered.
    const KvrConfig last = recordWithPayload(200000);
    QVERIFY(closer->pushCommand(last));
    closer->disconnectFromHost();
    closer->disconnectFromHost();
    QVERIFY(!closer->isConnected());
    QVERIFY(!closer->pushCommand(recordWithPayload(1)));

    QVERIFY(other->getCommand(last.GetID(), kArrivalTimeoutMs) == last);
    QTRY_COMPARE_WITH_TIMEOUT(otherEnded.size(), 1, kArrivalTimeoutMs);
    QVERIFY(!other->isConnected());
    QVERIFY(!other->pushCommand(recordWithPayload(1)));
    other->disconnectFromHost();
    QTest::qWait(100);
    QCOMPARE(closerEnded.size(), 1);
    QCOMPARE(otherEnded.size(), 1);
}

void tst_UdpConnection::strayDatagramsDoNotDisturbALink()
{
    QVERIFY(connectPair(genuinePlan()));
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QHostAddress::LocalHost)));
    const QList<QByteArray> junk{
        QByteArray("not enet, not a rendezvous"),
        QByteArray("WVRV"),
        QByteArray("WVRV\x00\x00\x00\x09", 8),
        QByteArray(1400, '\xff'),
        QByteArray("\x00\x00\x00\x00\x00\x00\x00\x00", 8),
    };
    for (const quint16 port : {aliceTower->localPort(), bobTower->localPort()}) {
        for (const QByteArray &datagram : junk)
            stranger.writeDatagram(datagram, QHostAddress::LocalHost, port);
    }

    const KvrConfig there = recordWithPayload(5000, 1);
    const KvrConfig back = recordWithPayload(5000, 2);
    QVERIFY(initiator->pushCommand(there));
    QVERIFY(acceptor->pushCommand(back));
    QVERIFY(acceptor->getCommand(there.GetID(), kArrivalTimeoutMs) == there);
    QVERIFY(initiator->getCommand(back.GetID(), kArrivalTimeoutMs) == back);
    QVERIFY(initiator->isConnected() && acceptor->isConnected());
}

WIVORA_TEST_GUILESS_MAIN(tst_UdpConnection)
#include "tst_UdpConnection.moc"
