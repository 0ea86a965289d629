// The relay queue against a real wivora-server: the order of sends and
// retries, the pause while the server is down, and records that wait for the
// user who queued them.

#include "QtTestSuite.h"
#include "ClientSessionFixture.h"
#include "ExchangeMessageQueue.h"

#include <WServerCommands.h>

#include <QMutex>
#include <QMutexLocker>
#include <QtTest>

namespace {

const QString Alice = QStringLiteral("alice");
const QString Bob = QStringLiteral("bob");
const QString Carol = QStringLiteral("carol");

KvrConfig record(const QString &name)
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), QStringLiteral("wmail:::") + name);
    return record;
}

// Every hand-over to the server, in order, made through the real server call.
class RecordingSender
{
public:
    struct Attempt
    {
        QString command;
        QString receiver;
        QString user; // whose link relayed it
        bool sent = false;
        bool carriedReceiverKey = false;
    };

    ExchangeMessageQueue::Sender sender()
    {
        return [this](const QString &receiver, const KvrConfig &record,
                      const QSharedPointer<WivoraAccount> &account) {
            const bool sent = WServerCommands::sendExchangeCommand(receiver, record, account);
            QMutexLocker lock(&m_mutex);
            m_attempts << Attempt{record.gv(QStringLiteral("command")), receiver, account->getUserName(),
                                  sent, record.CheckKeyExist(ExchangeMessageQueue::ReceiverKey)};
            return sent;
        };
    }

    QList<Attempt> attempts() const
    {
        QMutexLocker lock(&m_mutex);
        return m_attempts;
    }
    int count() const { return attempts().size(); }
    QStringList commands() const
    {
        QStringList commands;
        for (const Attempt &attempt : attempts())
            commands << attempt.command.mid(8); // without "wmail:::"
        return commands;
    }

private:
    mutable QMutex m_mutex;
    QList<Attempt> m_attempts;
};

} // namespace

class tst_ExchangeMessageQueue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void refusedRecordIsRetriedAfterTheOthers();
    void serverDownPausesAndKeepsTheOrder();
    void recordsWaitForTheUserWhoQueuedThem();
    void refusedEnqueue_data();
    void refusedEnqueue();

private:
    // The relayed records that reached carol, oldest first, taken from the server.
    QStringList fetchForCarol(int expected);

    QScopedPointer<ClientSessionFixture> m_fixture;
    QScopedPointer<SessionState> m_session;
    QSharedPointer<TcpConnection> m_carol;
    QList<KvrConfig> m_carolRecords;
};

void tst_ExchangeMessageQueue::init()
{
    m_fixture.reset(new ClientSessionFixture);
    QVERIFY2(m_fixture->start({Alice, Bob, Carol}), qPrintable(m_fixture->server.errorText()));
    m_session.reset(new SessionState);
    QVERIFY(m_fixture->logIn(*m_session, Alice));
    m_carol = m_fixture->loggedInLink(Carol);
    QVERIFY(m_carol);
    m_carolRecords.clear();
}

void tst_ExchangeMessageQueue::cleanup()
{
    m_carol.reset();
    m_session.reset();
    m_fixture.reset();
}

QStringList tst_ExchangeMessageQueue::fetchForCarol(int expected)
{
    // On a time-out the caller's comparison shows what did arrive.
    (void)QTest::qWaitFor(
        [&] {
            const KvrConfig fetched = WServerCommands::getExchangeCommand(m_carol);
            if (!fetched.isEmpty())
                m_carolRecords << fetched;
            return m_carolRecords.size() >= expected;
        },
        15000);
    QStringList commands;
    for (const KvrConfig &fetched : m_carolRecords) {
        commands << fetched.gv(QStringLiteral("command")).mid(8);
        if (fetched.CheckKeyExist(ExchangeMessageQueue::ReceiverKey))
            commands << QStringLiteral("<receiver key leaked>");
    }
    return commands;
}

void tst_ExchangeMessageQueue::refusedRecordIsRetriedAfterTheOthers()
{
    RecordingSender recorder;
    ExchangeMessageQueue queue(m_session.data());
    queue.setSender(recorder.sender());
    queue.setStepMs(100);
    // The server refuses relays to users it does not know.
    QVERIFY(queue.enqueueExchangeCommand(QStringLiteral("nobody"), record(QStringLiteral("first"))));
    KvrConfig second = record(QStringLiteral("second"));
    second.sv(ExchangeMessageQueue::ReceiverKey, Bob); // a stale receiver is replaced
    QVERIFY(queue.enqueueExchangeCommand(Carol, second));
    QVERIFY(queue.enqueueExchangeCommand(Carol, record(QStringLiteral("third"))));

    queue.startChecking();
    queue.start();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.count() >= 4, 15000);
    queue.stopChecking();
    QVERIFY(queue.wait(15000));

    QCOMPARE(recorder.commands().mid(0, 4), (QStringList{"first", "second", "third", "first"}));
    const QList<RecordingSender::Attempt> attempts = recorder.attempts();
    QCOMPARE(attempts.at(0).sent, false);
    QCOMPARE(attempts.at(1).receiver, Carol);
    QCOMPARE(attempts.at(1).sent, true);
    QCOMPARE(attempts.at(2).sent, true);
    for (const RecordingSender::Attempt &attempt : attempts)
        QVERIFY(!attempt.carriedReceiverKey);
    QCOMPARE(queue.count(), 1); // the refused one stays queued
    QCOMPARE(fetchForCarol(2), (QStringList{"second", "third"}));
}

void tst_ExchangeMessageQueue::serverDownPausesAndKeepsTheOrder()
{
    RecordingSender recorder;
    ExchangeMessageQueue queue(m_session.data());
    queue.setSender(recorder.sender());
    queue.setStepMs(60000); // one pass, then a long pause
    QVERIFY(m_fixture->server.stop());
    QTRY_VERIFY(!m_session->serverLink()->isConnected());
    for (const char *name : {"first", "second", "third"})
        QVERIFY(queue.enqueueExchangeCommand(Carol, record(QLatin1String(name))));

    // Before the loop's first look: a loop that finds checking off pauses
    // a whole step first.
    queue.startChecking();
    queue.start();
    QTRY_COMPARE(recorder.count(), 3);
    // Every send fails at once; a loop without its pause would retry
    // thousands of times meanwhile.
    QTest::qWait(300);
    QCOMPARE(recorder.count(), 3);
    // Stopping does not wait for the pause to run out.
    queue.stopChecking();
    QVERIFY(queue.wait(5000));
    QCOMPARE(queue.count(), 3);

    // The server is back and alice logged in again: all three go, in order.
    QVERIFY(m_fixture->server.start());
    QVERIFY(m_fixture->logIn(*m_session, Alice));
    m_carol = m_fixture->loggedInLink(Carol);
    QVERIFY(m_carol);
    queue.setStepMs(50);
    queue.startChecking();
    queue.start();
    QTRY_COMPARE_WITH_TIMEOUT(queue.count(), 0, 15000);
    queue.stopChecking();
    QVERIFY(queue.wait(5000));
    QCOMPARE(recorder.commands().mid(0, 3), (QStringList{"first", "second", "third"}));
    QCOMPARE(fetchForCarol(3), (QStringList{"first", "second", "third"}));
}

void tst_ExchangeMessageQueue::recordsWaitForTheUserWhoQueuedThem()
{
    RecordingSender recorder;
    ExchangeMessageQueue queue(m_session.data());
    queue.setSender(recorder.sender());
    queue.setStepMs(50);
    QVERIFY(queue.enqueueExchangeCommand(Carol, record(QStringLiteral("from-alice"))));

    // Alice logs out and bob logs in on this machine.
    QVERIFY(m_fixture->logIn(*m_session, Bob));
    QVERIFY(queue.enqueueExchangeCommand(Carol, record(QStringLiteral("from-bob"))));
    queue.startChecking();
    queue.start();
    QCOMPARE(fetchForCarol(1), QStringList{"from-bob"});
    QTest::qWait(300); // several more rounds under bob
    QCOMPARE(WServerCommands::getExchangeCommand(m_carol).size(), 0);
    QCOMPARE(recorder.commands(), QStringList{"from-bob"});
    QCOMPARE(queue.count(), 1);

    // Alice is back: her record goes, under her name.
    queue.stopChecking();
    QVERIFY(queue.wait(5000));
    QVERIFY(m_fixture->logIn(*m_session, Alice));
    queue.startChecking();
    queue.start();
    QCOMPARE(fetchForCarol(2), (QStringList{"from-bob", "from-alice"}));
    queue.stopChecking();
    QVERIFY(queue.wait(5000));
    QCOMPARE(queue.count(), 0);
    const QList<RecordingSender::Attempt> attempts = recorder.attempts();
    QCOMPARE(attempts.size(), 2);
    QCOMPARE(attempts.at(0).user, Bob);
    QCOMPARE(attempts.at(1).user, Alice);
}

void tst_ExchangeMessageQueue::refusedEnqueue_data()
{
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<QString>("receiver");
    QTest::addColumn<int>("payloadBytes");
    QTest::newRow("logged out") << false << Carol << 0;
    QTest::newRow("no receiver") << true << QString() << 0;
    // The server could never take it; it would come round again for ever.
    QTest::newRow("larger than one relay request carries")
        << true << Carol << WServerCommands::MaxExchangeRecordSize;
}

void tst_ExchangeMessageQueue::refusedEnqueue()
{
    QFETCH(bool, loggedIn);
    QFETCH(QString, receiver);
    QFETCH(int, payloadBytes);
    ExchangeMessageQueue queue(m_session.data());
    if (!loggedIn)
        m_session->resetAccount();
    KvrConfig orphan = record(QStringLiteral("orphan"));
    orphan.SetValue(QStringLiteral("payload"), QByteArray(payloadBytes, 'p'));

    QVERIFY(!queue.enqueueExchangeCommand(receiver, orphan));
    QCOMPARE(queue.count(), 0);
}

WIVORA_TEST_MAIN(tst_ExchangeMessageQueue)
#include "tst_ExchangeMessageQueue.moc"
