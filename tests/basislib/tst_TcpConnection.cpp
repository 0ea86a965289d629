#include "QtTestSuite.h"
#include "PendingLinkBudget.h"
#include "RawTlsPeer.h"
#include "TcpConnection.h"
#include "WCryptography.h"

#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtEndian>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int kWaitMs = 10000;
// Long enough that only a wait nobody ends can reach it (the test then times out).
constexpr int kNeverMs = 10 * 60 * 1000;

KvrConfig makeRecord(const QString &command, const QByteArray &payload = QByteArray())
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), command);
    if (!payload.isNull())
        record.SetValue(QStringLiteral("payload"), payload);
    return record;
}

// Records what a link announces. The signals come from the transports' I/O
// thread, so the probe is connected directly and guards itself.
class Probe
{
public:
    // Runs on the announcing thread, for answering at once.
    std::function<void(TcpConnection *, const QString &id, const QString &command)> onCommand;

    void attach(TcpConnection *link)
    {
        QObject::connect(link, &TcpConnection::signalCommandReceived, [this, link](QString id, QString command) {
            if (onCommand)
                onCommand(link, id, command);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ids.append(id);
            m_commands.append(command);
            m_changed.notify_all();
        });
        QObject::connect(link, &TcpConnection::signalConnectionEnded, [this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_ended;
            m_changed.notify_all();
        });
    }

    bool waitForAnnounced(const QString &id, int ms = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_ids.contains(id); });
    }
    bool waitForEnded(int ms = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_ended > 0; });
    }
    QStringList ids() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ids;
    }
    QStringList commands() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_commands;
    }
    int endedCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ended;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    QStringList m_ids;
    QStringList m_commands;
    int m_ended = 0;
};

// A listening server run on a thread of its own, as a program's listening
// server is, so the test thread can block in connectToHost meanwhile.
template<typename Server>
class ServerThread
{
public:
    template<typename... Args>
    explicit ServerThread(Args &&...args)
        : server(new Server(std::forward<Args>(args)...))
    {
        server->listen(QHostAddress::LocalHost, 0);
        server->moveToThread(&thread);
        // QThread::wait() hands over through Qt's own lock, which thread
        // checkers cannot see; the ending thread also says so through ours.
        QObject::connect(&thread, &QThread::finished, [this] { m_ended.set_value(); });
        thread.start();
    }
    ~ServerThread()
    {
        thread.quit();
        m_ended.get_future().wait();
        thread.wait();
        delete server;
    }
    QString port() const { return QString::number(server->serverPort()); }

    QThread thread;
    Server *server;

private:
    std::promise<void> m_ended;
};

// Hands every accepted socket to a TcpConnection holding the key pair.
class Acceptor : public QTcpServer
{
public:
    explicit Acceptor(const WKeyPair &keys)
        : m_keys(keys)
    {
    }
    // Runs for the announcements of each link accepted afterwards. The
    // server's thread reads it: set it under the lock.
    void setOnCommand(std::function<void(TcpConnection *, const QString &, const QString &)> handler)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onCommand = std::move(handler);
    }
    // Links accepted afterwards wait for admission under it. The server's
    // thread reads it: set it under the lock.
    void setBudget(std::shared_ptr<PendingLinkBudget> budget)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_budget = std::move(budget);
    }

    // The n-th accepted link (from 0), once it exists.
    TcpConnection *link(int n, Probe **probe = nullptr)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return int(m_links.size()) > n; }))
            return nullptr;
        if (probe)
            *probe = m_links[std::size_t(n)].probe.get();
        return m_links[std::size_t(n)].connection.get();
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        Accepted accepted;
        std::shared_ptr<PendingLinkBudget> budget;
        accepted.connection = std::make_unique<TcpConnection>();
        accepted.probe = std::make_unique<Probe>();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            accepted.probe->onCommand = m_onCommand;
            budget = m_budget;
        }
        accepted.probe->attach(accepted.connection.get());
        accepted.connection->setKeyPair(m_keys.publicKey, m_keys.privateKey);
        if (budget)
            accepted.connection->setPendingBudget(budget);
        accepted.connection->setSocketDesctiptor(descriptor);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_links.push_back(std::move(accepted));
        m_changed.notify_all();
    }

private:
    struct Accepted
    {
        std::unique_ptr<Probe> probe; // outlives its connection
        std::unique_ptr<TcpConnection> connection;
    };
    WKeyPair m_keys;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Accepted> m_links;
    std::function<void(TcpConnection *, const QString &, const QString &)> m_onCommand;
    std::shared_ptr<PendingLinkBudget> m_budget;
};

// Relays bytes between a client and the target port, keeps a copy of
// everything that passed, and can flip one byte of the client's stream.
class Relay : public QTcpServer
{
public:
    Relay(quint16 targetPort, qint64 flipAt)
        : m_targetPort(targetPort)
        , m_flipAt(flipAt)
    {
    }

    QByteArray captured() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_captured;
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *client = new QTcpSocket(this);
        auto *target = new QTcpSocket(this);
        client->setSocketDescriptor(descriptor);
        target->connectToHost(QHostAddress::LocalHost, m_targetPort);
        connect(client, &QTcpSocket::readyRead, this, [this, client, target] {
            QByteArray bytes = client->readAll();
            if (m_flipAt >= m_clientOffset && m_flipAt < m_clientOffset + bytes.size())
                bytes[int(m_flipAt - m_clientOffset)] = char(bytes[int(m_flipAt - m_clientOffset)] ^ 0x01);
            m_clientOffset += bytes.size();
            keep(bytes);
            target->write(bytes);
        });
        connect(target, &QTcpSocket::readyRead, this, [this, client, target] {
            const QByteArray bytes = target->readAll();
            keep(bytes);
            client->write(bytes);
        });
        connect(client, &QTcpSocket::disconnected, target, &QTcpSocket::disconnectFromHost);
        connect(target, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    }

private:
    void keep(const QByteArray &bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_captured += bytes;
    }

    quint16 m_targetPort;
    qint64 m_flipAt;
    qint64 m_clientOffset = 0;
    mutable std::mutex m_mutex;
    QByteArray m_captured;
};

// Links made while it lives reach the end of their drain time limit soon.
class ShortDrainTimeLimit
{
public:
    explicit ShortDrainTimeLimit(int ms) { qputenv("WIVORA_SEND_DRAIN_TIME_LIMIT_MS", QByteArray::number(ms)); }
    ~ShortDrainTimeLimit() { qunsetenv("WIVORA_SEND_DRAIN_TIME_LIMIT_MS"); }
};

// A record of one MiB whose payload says its place in the stream.
KvrConfig numberedRecord(int number)
{
    QByteArray payload(1024 * 1024, Qt::Uninitialized);
    quint32 state = quint32(number) * 2654435761u + 1;
    for (char &byte : payload) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 24);
    }
    KvrConfig record = makeRecord(QStringLiteral("test:::numbered"), payload);
    record.SetValue(QStringLiteral("number"), number);
    return record;
}

// The absence of a signal can only be shown by waiting a while for it.
void settle()
{
    QThread::msleep(200);
}

} // namespace

class tst_TcpConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void roundTrip_data();
    void roundTrip();
    void recordsPushedFromFourThreadsArriveWholeAndOnce_data();
    void recordsPushedFromFourThreadsArriveWholeAndOnce();
    void recordsOfOneIdAreTakenInArrivalOrder();
    void getCommandWaitsForItsRecord_data();
    void getCommandWaitsForItsRecord();
    void sendCommandReplyGoesToItsWaiterOnly();
    void waitsKeepEventsFlowing_data();
    void waitsKeepEventsFlowing();
    void unclaimedRecordsExpire();
    void pushCommandRefusesWhatCannotBeSent();

    void linkEndIsAnnouncedOnce_data();
    void linkEndIsAnnouncedOnce();
    void endingLinkReleasesWaiters_data();
    void endingLinkReleasesWaiters();
    void disconnectFromOwnSlot();

    void connectFails_data();
    void connectFails();
    void trafficCarriesNoClearText();
    void flippedByteClosesLink_data();
    void flippedByteClosesLink();
    void damagedTrafficClosesAcceptedLink_data();
    void damagedTrafficClosesAcceptedLink();
    void pendingLinksAreHeldToTheirBudget_data();
    void pendingLinksAreHeldToTheirBudget();
    void farSideThatDoesNotReadIsBounded_data();
    void farSideThatDoesNotReadIsBounded();
    void slowReaderGetsEveryFrameInOrder();
    void linksSendingToEachOtherBothDrain();

private:
    WKeyPair m_keys;
    WKeyPair m_otherKeys;
};

void tst_TcpConnection::initTestCase()
{
    m_keys = WCryptography::GenerateKeyPair(2048);
    m_otherKeys = WCryptography::GenerateKeyPair(2048);
    QVERIFY(m_keys.isValid());
    QVERIFY(m_otherKeys.isValid());
}

void tst_TcpConnection::roundTrip_data()
{
    QTest::addColumn<bool>("fromConnector");
    QTest::addColumn<QByteArray>("payload");

    QByteArray binary(300, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char(i);
    const QByteArray large(3 * 1024 * 1024 + 7, 'x');
    QTest::newRow("connector to acceptor, small") << true << QByteArray("hello");
    QTest::newRow("acceptor to connector, small") << false << QByteArray("hello");
    QTest::newRow("connector to acceptor, binary") << true << binary;
    QTest::newRow("acceptor to connector, binary") << false << binary;
    QTest::newRow("connector to acceptor, large") << true << large;
    QTest::newRow("acceptor to connector, large") << false << large;
}

void tst_TcpConnection::roundTrip()
{
    QFETCH(bool, fromConnector);
    QFETCH(QByteArray, payload);

    ServerThread<Acceptor> acceptor(m_keys);
    Probe connectorProbe;
    TcpConnection connector;
    connectorProbe.attach(&connector);
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    QVERIFY(connector.isConnected());
    Probe *acceptedProbe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &acceptedProbe);
    QVERIFY(accepted);
    QCOMPARE(connector.peerAddress(), QStringLiteral("127.0.0.1"));
    QCOMPARE(QString::number(connector.peerPort()), acceptor.port());

    TcpConnection *sender = fromConnector ? &connector : accepted;
    TcpConnection *receiver = fromConnector ? accepted : &connector;
    Probe *receiverProbe = fromConnector ? acceptedProbe : &connectorProbe;

    KvrConfig record = makeRecord(QStringLiteral("test:::roundTrip"), payload);
    record.sv(QStringLiteral("note"), QStringLiteral("ünïcödé"));
    QVERIFY(sender->pushCommand(record));
    QVERIFY(receiverProbe->waitForAnnounced(record.GetID()));
    QCOMPARE(receiverProbe->commands(), QStringList{QStringLiteral("test:::roundTrip")});
    QVERIFY(receiver->isConnected());

    const KvrConfig arrived = receiver->getCommand(record.GetID(), 0);
    QVERIFY(arrived == record);
    QVERIFY(receiver->getCommand(record.GetID(), 0).isEmpty());
}

void tst_TcpConnection::recordsPushedFromFourThreadsArriveWholeAndOnce_data()
{
    QTest::addColumn<int>("perThread");
    QTest::addColumn<int>("payloadBytes");

    QTest::newRow("small records") << 250 << 0;
    // Sealed and written in parts, each pusher's parts between the others'.
    QTest::newRow("large records") << 6 << 700 * 1024 + 3;
}

void tst_TcpConnection::recordsPushedFromFourThreadsArriveWholeAndOnce()
{
    QFETCH(int, perThread);
    QFETCH(int, payloadBytes);

    ServerThread<Acceptor> acceptor(m_keys);
    TcpConnection connector;
    QVERIFY(connector.connectToHost(QStringLiteral("localhost"), acceptor.port(), m_keys.publicKey));
    Probe *probe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &probe);
    QVERIFY(accepted);

    constexpr int kThreads = 4;
    const int kPerThread = perThread;
    std::vector<std::vector<KvrConfig>> sent(kThreads);
    std::vector<std::thread> pushers;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            const QByteArray number = QByteArray::number(t * kPerThread + i) + ' ';
            const QByteArray payload =
                payloadBytes > 0 ? number.repeated(payloadBytes / number.size() + 1).left(payloadBytes) : number;
            KvrConfig record = makeRecord(QStringLiteral("test:::bulk"), payload);
            record.SetValue(QStringLiteral("thread"), t);
            sent[std::size_t(t)].push_back(record);
        }
        pushers.emplace_back([&, t] {
            for (const KvrConfig &record : sent[std::size_t(t)])
                if (!connector.pushCommand(record))
                    ++refused;
        });
    }
    for (std::thread &pusher : pushers)
        pusher.join();
    QCOMPARE(refused.load(), 0);

    // Nothing pushed after the marker can be announced before it.
    const KvrConfig marker = makeRecord(QStringLiteral("test:::marker"));
    QVERIFY(connector.pushCommand(marker));
    QVERIFY(probe->waitForAnnounced(marker.GetID()));

    const QStringList ids = probe->ids();
    QCOMPARE(ids.size(), kThreads * kPerThread + 1);
    QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), ids.size());
    for (const auto &records : sent) {
        // One pusher's records keep their order.
        int lastIndex = -1;
        for (const KvrConfig &record : records) {
            const int index = ids.indexOf(record.GetID());
            QVERIFY(index > lastIndex);
            lastIndex = index;
            QVERIFY(accepted->getCommand(record.GetID(), 0) == record);
        }
    }
}

void tst_TcpConnection::recordsOfOneIdAreTakenInArrivalOrder()
{
    ServerThread<Acceptor> acceptor(m_keys);
    TcpConnection connector;
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    Probe *probe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &probe);
    QVERIFY(accepted);

    KvrConfig first = makeRecord(QStringLiteral("test:::first"));
    KvrConfig second = first;
    second.sv(QStringLiteral("command"), QStringLiteral("test:::second"));
    QVERIFY(connector.pushCommand(first));
    QVERIFY(connector.pushCommand(second));
    const KvrConfig marker = makeRecord(QStringLiteral("test:::marker"));
    QVERIFY(connector.pushCommand(marker));
    QVERIFY(probe->waitForAnnounced(marker.GetID()));

    QCOMPARE(probe->ids().count(first.GetID()), 2);
    QCOMPARE(accepted->getCommand(first.GetID(), 0).gv(QStringLiteral("command")), QStringLiteral("test:::first"));
    QCOMPARE(accepted->getCommand(first.GetID(), 0).gv(QStringLiteral("command")), QStringLiteral("test:::second"));
    QVERIFY(accepted->getCommand(first.GetID(), 0).isEmpty());
}

void tst_TcpConnection::getCommandWaitsForItsRecord_data()
{
    QTest::addColumn<int>("sendAfterMs");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<bool>("expected");

    QTest::newRow("already there") << 0 << 0 << true;
    QTest::newRow("arrives during the wait") << 300 << kNeverMs << true;
    QTest::newRow("arrives after the wait") << 1500 << 100 << false;
    QTest::newRow("never sent") << -1 << 300 << false;
}

void tst_TcpConnection::getCommandWaitsForItsRecord()
{
    QFETCH(int, sendAfterMs);
    QFETCH(int, waitMs);
    QFETCH(bool, expected);

    ServerThread<Acceptor> acceptor(m_keys);
    Probe connectorProbe;
    TcpConnection connector;
    connectorProbe.attach(&connector);
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    TcpConnection *accepted = acceptor.server->link(0);
    QVERIFY(accepted);

    const KvrConfig record = makeRecord(QStringLiteral("test:::wait"), QByteArray("value"));
    if (sendAfterMs == 0) {
        QVERIFY(accepted->pushCommand(record));
        QVERIFY(connectorProbe.waitForAnnounced(record.GetID()));
    }
    std::thread sender;
    if (sendAfterMs > 0) {
        sender = std::thread([&] {
            QThread::msleep(ulong(sendAfterMs));
            accepted->pushCommand(record);
        });
    }
    const KvrConfig taken = connector.getCommand(record.GetID(), waitMs);
    if (sender.joinable())
        sender.join();
    QCOMPARE(taken == record, expected);
    QCOMPARE(taken.isEmpty(), !expected);
    if (expected) {
        // Taken by its waiter, so nobody is sent looking for it.
        QCOMPARE(connectorProbe.ids().count(record.GetID()), sendAfterMs == 0 ? 1 : 0);
    }
}

void tst_TcpConnection::sendCommandReplyGoesToItsWaiterOnly()
{
    ServerThread<Acceptor> acceptor(m_keys);
    acceptor.server->setOnCommand([](TcpConnection *link, const QString &id, const QString &command) {
        if (command != QLatin1String("test:::request"))
            return;
        KvrConfig reply = link->getCommand(id, 0);
        reply.sv(QStringLiteral("command"), command + QLatin1String(":callback"));
        reply.SetResult(true);
        link->pushCommand(reply);
    });
    Probe probe;
    TcpConnection connector;
    probe.attach(&connector);
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    TcpConnection *accepted = acceptor.server->link(0);
    QVERIFY(accepted);

    const KvrConfig request = makeRecord(QStringLiteral("test:::request"), QByteArray("question"));
    const KvrConfig reply = connector.sendCommand(request, kWaitMs);
    QCOMPARE(reply.GetID(), request.GetID());
    QCOMPARE(reply.gv(QStringLiteral("command")), QStringLiteral("test:::request:callback"));
    QVERIFY(reply.checkResult());
    QCOMPARE(reply.GetValue(QStringLiteral("payload")), QByteArray("question"));

    const KvrConfig marker = makeRecord(QStringLiteral("test:::marker"));
    QVERIFY(accepted->pushCommand(marker));
    QVERIFY(probe.waitForAnnounced(marker.GetID()));
    QCOMPARE(probe.ids(), QStringList{marker.GetID()});
    QVERIFY(connector.getCommand(request.GetID(), 0).isEmpty());
}

void tst_TcpConnection::waitsKeepEventsFlowing_data()
{
    QTest::addColumn<bool>("inConnect");

    QTest::newRow("connectToHost") << true;
    QTest::newRow("getCommand") << false;
}

void tst_TcpConnection::waitsKeepEventsFlowing()
{
    QFETCH(bool, inConnect);

    // Everything the wait needs happens on this thread's event loop: the
    // accept in one row, the far side's push in the other.
    Acceptor local(m_keys);
    QVERIFY(local.listen(QHostAddress::LocalHost, 0));
    ServerThread<Acceptor> remote(m_keys);
    TcpConnection connector;
    TcpConnection *far = nullptr;
    if (!inConnect) {
        QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), remote.port(), m_keys.publicKey));
        far = remote.server->link(0);
        QVERIFY(far);
    }

    bool connected = false;
    KvrConfig taken;
    const KvrConfig record = makeRecord(QStringLiteral("test:::queued"));
    QEventLoop running;
    QTimer::singleShot(0, this, [&] {
        if (inConnect) {
            connected = connector.connectToHost(QStringLiteral("127.0.0.1"), QString::number(local.serverPort()),
                                                m_keys.publicKey, kWaitMs);
        } else {
            QMetaObject::invokeMethod(this, [&] { far->pushCommand(record); }, Qt::QueuedConnection);
            taken = connector.getCommand(record.GetID(), kWaitMs);
        }
        running.quit();
    });
    running.exec();
    if (inConnect)
        QVERIFY(connected);
    else
        QVERIFY(taken == record);
}

void tst_TcpConnection::unclaimedRecordsExpire()
{
    ServerThread<Acceptor> acceptor(m_keys);
    Probe probe;
    TcpConnection connector;
    probe.attach(&connector);
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    TcpConnection *accepted = acceptor.server->link(0);
    QVERIFY(accepted);

    connector.setInboxMaxAge(100);
    const KvrConfig old = makeRecord(QStringLiteral("test:::old"));
    QVERIFY(accepted->pushCommand(old));
    QVERIFY(probe.waitForAnnounced(old.GetID()));
    QThread::msleep(300);
    const KvrConfig fresh = makeRecord(QStringLiteral("test:::fresh"));
    QVERIFY(accepted->pushCommand(fresh));
    QVERIFY(probe.waitForAnnounced(fresh.GetID()));

    QVERIFY(connector.getCommand(old.GetID(), 0).isEmpty());
    QVERIFY(connector.getCommand(fresh.GetID(), 0) == fresh);
}

void tst_TcpConnection::pushCommandRefusesWhatCannotBeSent()
{
    TcpConnection unconnected;
    QVERIFY(!unconnected.pushCommand(makeRecord(QStringLiteral("test:::nowhere"))));
    QVERIFY(unconnected.sendCommand(makeRecord(QStringLiteral("test:::nowhere")), kNeverMs).isEmpty());
    QVERIFY(unconnected.getCommand(QStringLiteral("{none}"), kNeverMs).isEmpty());

    ServerThread<Acceptor> acceptor(m_keys);
    TcpConnection connector;
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    Probe *probe = nullptr;
    QVERIFY(acceptor.server->link(0, &probe));

    // A record over the frame cap is refused; the link stays usable.
    const KvrConfig huge = makeRecord(QStringLiteral("test:::huge"), QByteArray(TcpConnection::MaxFrameSize, 'h'));
    QVERIFY(!connector.pushCommand(huge));
    const KvrConfig after = makeRecord(QStringLiteral("test:::after"));
    QVERIFY(connector.pushCommand(after));
    QVERIFY(probe->waitForAnnounced(after.GetID()));
    QVERIFY(connector.isConnected());
}

void tst_TcpConnection::linkEndIsAnnouncedOnce_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("observeConnector");

    QTest::newRow("far end disconnects, seen by connector") << "far disconnect" << true;
    QTest::newRow("far end disconnects, seen by acceptor") << "far disconnect" << false;
    QTest::newRow("far end destroyed, seen by acceptor") << "far destroyed" << false;
    QTest::newRow("local disconnect, twice, connector") << "local disconnect" << true;
    QTest::newRow("local disconnect, twice, acceptor") << "local disconnect" << false;
}

void tst_TcpConnection::linkEndIsAnnouncedOnce()
{
    QFETCH(QString, how);
    QFETCH(bool, observeConnector);

    ServerThread<Acceptor> acceptor(m_keys);
    Probe connectorProbe; // outlives the link it watches
    auto connector = std::make_unique<TcpConnection>();
    connectorProbe.attach(connector.get());
    QVERIFY(connector->connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    Probe *acceptedProbe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &acceptedProbe);
    QVERIFY(accepted);
    QVERIFY(QTest::qWaitFor([&] { return accepted->isConnected(); }, kWaitMs));

    TcpConnection *observed = observeConnector ? connector.get() : accepted;
    TcpConnection *far = observeConnector ? accepted : connector.get();
    Probe *probe = observeConnector ? &connectorProbe : acceptedProbe;

    if (how == QLatin1String("far disconnect")) {
        far->disconnectFromHost();
    } else if (how == QLatin1String("far destroyed")) {
        connector.reset();
    } else {
        observed->disconnectFromHost();
        observed->disconnectFromHost();
        QVERIFY(!observed->isConnected());
    }
    QVERIFY(probe->waitForEnded());
    QVERIFY(!observed->isConnected());
    observed->disconnectFromHost();
    settle();
    QCOMPARE(probe->endedCount(), 1);
    QVERIFY(!observed->pushCommand(makeRecord(QStringLiteral("test:::late"))));
}

void tst_TcpConnection::endingLinkReleasesWaiters_data()
{
    QTest::addColumn<bool>("bySendCommand");
    QTest::addColumn<bool>("farEnd");

    QTest::newRow("getCommand, local disconnect") << false << false;
    QTest::newRow("getCommand, far end closes") << false << true;
    QTest::newRow("sendCommand, local disconnect") << true << false;
    QTest::newRow("sendCommand, far end closes") << true << true;
}

void tst_TcpConnection::endingLinkReleasesWaiters()
{
    QFETCH(bool, bySendCommand);
    QFETCH(bool, farEnd);

    ServerThread<Acceptor> acceptor(m_keys);
    TcpConnection connector;
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    Probe *acceptedProbe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &acceptedProbe);
    QVERIFY(accepted);

    // The far end's last word before it closes (large enough to be still on
    // its way when the close comes) arrives and stays available.
    const KvrConfig last = makeRecord(QStringLiteral("test:::last"), QByteArray(8 * 1024 * 1024, 'l'));
    QVERIFY(accepted->pushCommand(last));

    const KvrConfig request = makeRecord(QStringLiteral("test:::unanswered"));
    KvrConfig result = makeRecord(QStringLiteral("test:::unset"));
    std::thread waiter([&] {
        result = bySendCommand ? connector.sendCommand(request, kNeverMs) : connector.getCommand(request.GetID(), kNeverMs);
    });
    // Let the waiter start waiting (a request on the wire shows it).
    const bool requestSeen = !bySendCommand || acceptedProbe->waitForAnnounced(request.GetID());
    if (!bySendCommand)
        QThread::msleep(100);
    if (farEnd)
        accepted->disconnectFromHost();
    else
        connector.disconnectFromHost();
    waiter.join();
    QVERIFY(requestSeen);
    QVERIFY(result.isEmpty());
    if (farEnd)
        QVERIFY(connector.getCommand(last.GetID(), kNeverMs) == last);
    QVERIFY(connector.getCommand(request.GetID(), kNeverMs).isEmpty());
}

void tst_TcpConnection::disconnectFromOwnSlot()
{
    ServerThread<Acceptor> acceptor(m_keys);
    Probe probe;
    TcpConnection connector;
    probe.attach(&connector);
    // Queued to this thread, as a slot of a receiver living here would be.
    QObject receiver;
    connect(&connector, &TcpConnection::signalCommandReceived, &receiver,
            [&](const QString &, const QString &command) {
                if (command == QLatin1String("test:::bye"))
                    connector.disconnectFromHost();
            });
    connect(&connector, &TcpConnection::signalConnectionEnded, &receiver, [&] { connector.disconnectFromHost(); });
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    TcpConnection *accepted = acceptor.server->link(0);
    QVERIFY(accepted);

    QVERIFY(accepted->pushCommand(makeRecord(QStringLiteral("test:::bye"))));
    QTRY_COMPARE_WITH_TIMEOUT(probe.endedCount(), 1, kWaitMs);
    QVERIFY(!connector.isConnected());
    QTest::qWait(200);
    QCOMPARE(probe.endedCount(), 1);
}

void tst_TcpConnection::connectFails_data()
{
    QTest::addColumn<QString>("keyKind");
    QTest::addColumn<bool>("listening");

    QTest::newRow("wrong public key") << "other" << true;
    QTest::newRow("not a key") << "garbage" << true;
    QTest::newRow("empty key") << "empty" << true;
    QTest::newRow("nobody listening") << "right" << false;
}

void tst_TcpConnection::connectFails()
{
    QFETCH(QString, keyKind);
    QFETCH(bool, listening);

    const QString key = keyKind == QLatin1String("other")     ? m_otherKeys.publicKey
                        : keyKind == QLatin1String("garbage") ? QStringLiteral("-----BEGIN PUBLIC KEY-----\nAAAA\n")
                        : keyKind == QLatin1String("empty")   ? QString()
                                                              : m_keys.publicKey;
    ServerThread<Acceptor> acceptor(m_keys);
    QString port = acceptor.port();
    if (!listening) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        port = QString::number(closed.serverPort());
    }

    Probe probe;
    TcpConnection connector;
    probe.attach(&connector);
    // Fails on its own, long before the time-out.
    QVERIFY(!connector.connectToHost(QStringLiteral("127.0.0.1"), port, key, kNeverMs));
    QVERIFY(!connector.isConnected());
    QVERIFY(!connector.pushCommand(makeRecord(QStringLiteral("test:::nowhere"))));

    if (keyKind == QLatin1String("other")) {
        // The acceptor could not open the keys and dropped the socket.
        Probe *acceptedProbe = nullptr;
        TcpConnection *accepted = acceptor.server->link(0, &acceptedProbe);
        QVERIFY(accepted);
        QVERIFY(acceptedProbe->waitForEnded());
        QVERIFY(!accepted->isConnected());
    }
    settle();
    QCOMPARE(probe.endedCount(), 0);
}

void tst_TcpConnection::trafficCarriesNoClearText()
{
    ServerThread<Acceptor> acceptor(m_keys);
    ServerThread<Relay> relay(acceptor.server->serverPort(), -1);
    Probe connectorProbe;
    TcpConnection connector;
    connectorProbe.attach(&connector);
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), relay.port(), m_keys.publicKey));
    Probe *acceptedProbe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &acceptedProbe);
    QVERIFY(accepted);

    KvrConfig up = makeRecord(QStringLiteral("secret:::upwards"), QByteArray("confidential-payload"));
    up.sv(QStringLiteral("password"), QStringLiteral("hunter2-hunter2"));
    KvrConfig down = makeRecord(QStringLiteral("secret:::downwards"), QByteArray("private-reply-text"));
    QVERIFY(connector.pushCommand(up));
    QVERIFY(acceptedProbe->waitForAnnounced(up.GetID()));
    QVERIFY(accepted->pushCommand(down));
    QVERIFY(connectorProbe.waitForAnnounced(down.GetID()));

    const QByteArray captured = relay.server->captured();
    QVERIFY(captured.size() > 200);
    for (const char *clear : {"secret:::", "confidential-payload", "hunter2", "password", "private-reply-text",
                              "command", "payload"})
        QVERIFY2(!captured.contains(clear), clear);
    QVERIFY(!captured.contains(up.GetID().toUtf8()));
    QVERIFY(!captured.contains(down.GetID().toUtf8()));
}

void tst_TcpConnection::flippedByteClosesLink_data()
{
    QTest::addColumn<qint64>("flipAt");
    QTest::addColumn<bool>("connects");

    // The connecting side's hello takes a few hundred bytes; its first record
    // (with a 8000-byte payload) covers byte 2000 wherever the hello ends.
    QTest::newRow("in the connecting side's hello") << qint64(100) << false;
    QTest::newRow("in the first record") << qint64(2000) << true;
}

void tst_TcpConnection::flippedByteClosesLink()
{
    QFETCH(qint64, flipAt);
    QFETCH(bool, connects);

    ServerThread<Acceptor> acceptor(m_keys);
    ServerThread<Relay> relay(acceptor.server->serverPort(), flipAt);
    Probe connectorProbe;
    TcpConnection connector;
    connectorProbe.attach(&connector);
    QCOMPARE(connector.connectToHost(QStringLiteral("127.0.0.1"), relay.port(), m_keys.publicKey, kNeverMs),
             connects);
    Probe *acceptedProbe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &acceptedProbe);
    QVERIFY(accepted);

    if (connects) {
        const KvrConfig record = makeRecord(QStringLiteral("test:::tampered"), QByteArray(8000, 'v'));
        QVERIFY(connector.pushCommand(record));
        QVERIFY(connectorProbe.waitForEnded());
    }
    QVERIFY(acceptedProbe->waitForEnded());
    QVERIFY(acceptedProbe->ids().isEmpty());
    QVERIFY(!accepted->isConnected());
}

void tst_TcpConnection::damagedTrafficClosesAcceptedLink_data()
{
    QTest::addColumn<bool>("handshake");
    QTest::addColumn<QString>("damage");

    QTest::newRow("garbage instead of the handshake") << false << "garbage";
    QTest::newRow("2 GiB length instead of the handshake") << false << "2 GiB";
    QTest::newRow("zero length") << true << "zero";
    QTest::newRow("2 GiB length") << true << "2 GiB";
    QTest::newRow("one byte over the cap") << true << "over cap";
    QTest::newRow("replayed record") << true << "replay";
    QTest::newRow("reordered records") << true << "reorder";
    QTest::newRow("flipped byte in a record") << true << "flip";
    QTest::newRow("bytes that are no record") << true << "no record";
    QTest::newRow("garbage beside the session") << true << "garbage";
    QTest::newRow("truncated frame, then close") << true << "truncated";
}

void tst_TcpConnection::damagedTrafficClosesAcceptedLink()
{
    QFETCH(bool, handshake);
    QFETCH(QString, damage);

    ServerThread<Acceptor> acceptor(m_keys);
    RawTlsPeer peer;
    QVERIFY(peer.connect(quint16(acceptor.port().toUShort())));
    Probe *probe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &probe);
    QVERIFY(accepted);
    if (handshake) {
        QVERIFY(peer.handshake());
        // The foreign peer speaks the wire form: a sound record arrives.
        const KvrConfig sound = makeRecord(QStringLiteral("test:::sound"));
        peer.sendInside(RawTlsPeer::frame(sound));
        QVERIFY(probe->waitForAnnounced(sound.GetID()));
    }

    const QByteArray record = RawTlsPeer::frame(makeRecord(QStringLiteral("test:::damaged")));
    if (damage == QLatin1String("truncated")) {
        peer.sendInside(record.left(20));
        settle();
        QVERIFY(accepted->isConnected()); // a partial frame is waited for...
        peer.close();                     // ...until the socket closes in its middle
    } else {
        const auto send = [&](const QByteArray &bytes) { handshake ? peer.sendInside(bytes) : peer.sendRaw(bytes); };
        if (damage == QLatin1String("garbage")) {
            peer.sendRaw(QByteArray("GET / HTTP/1.0\r\n\r\n"));
        } else if (damage == QLatin1String("2 GiB")) {
            send(RawTlsPeer::header(0x80000000u) + QByteArray(64, 'g'));
        } else if (damage == QLatin1String("zero")) {
            send(RawTlsPeer::header(0));
        } else if (damage == QLatin1String("over cap")) {
            send(RawTlsPeer::header(quint32(TcpConnection::MaxFrameSize) + 1) + QByteArray(1024, 'o'));
        } else if (damage == QLatin1String("replay")) {
            const QByteArray sealed = peer.seal(record);
            peer.sendRaw(sealed + sealed);
        } else if (damage == QLatin1String("reorder")) {
            const QByteArray first = peer.seal(record);
            const QByteArray second = peer.seal(record);
            peer.sendRaw(second + first);
        } else if (damage == QLatin1String("flip")) {
            QByteArray sealed = peer.seal(record);
            sealed[sealed.size() - 20] = char(sealed.at(sealed.size() - 20) ^ 0x01);
            peer.sendRaw(sealed);
        } else if (damage == QLatin1String("no record")) {
            send(RawTlsPeer::frame(QByteArray("not a record at all")));
        }
        QVERIFY(peer.waitUntilClosed());
    }
    QVERIFY(probe->waitForEnded());
    QVERIFY(!accepted->isConnected());
    // The first copy of a replayed record is sound.
    const int announced = (handshake ? 1 : 0) + (damage == QLatin1String("replay") ? 1 : 0);
    settle();
    QCOMPARE(probe->ids().size(), announced);
    QCOMPARE(probe->endedCount(), 1);
}

void tst_TcpConnection::pendingLinksAreHeldToTheirBudget_data()
{
    QTest::addColumn<bool>("admitted");
    QTest::addColumn<int>("frameBytes");
    QTest::addColumn<bool>("staysOpen");

    // Frames of exactly frameBytes, sent after the first sound record.
    QTest::newRow("frame at the limit, then the time limit") << false << 1024 << false;
    QTest::newRow("frame one byte over the limit") << false << 1025 << false;
    QTest::newRow("admitted: large frame, no time limit") << true << 100 * 1024 << true;
}

void tst_TcpConnection::pendingLinksAreHeldToTheirBudget()
{
    QFETCH(bool, admitted);
    QFETCH(int, frameBytes);
    QFETCH(bool, staysOpen);

    PendingLinkBudget::Limits limits;
    limits.frameLimit = 1024;
    limits.timeLimitMs = 1500;
    limits.perAddress = 2;
    ServerThread<Acceptor> acceptor(m_keys);
    acceptor.server->setBudget(std::make_shared<PendingLinkBudget>(limits));

    RawTlsPeer peer;
    QVERIFY(peer.connect(quint16(acceptor.port().toUShort())));
    QVERIFY(peer.handshake());
    Probe *probe = nullptr;
    TcpConnection *accepted = acceptor.server->link(0, &probe);
    QVERIFY(accepted);
    const KvrConfig login = makeRecord(QStringLiteral("test:::login"));
    peer.sendInside(RawTlsPeer::frame(login));
    QVERIFY(probe->waitForAnnounced(login.GetID()));
    if (admitted)
        accepted->admit();

    // The address holds two places: while this link holds one, a second
    // link is taken and a third is refused at once; admitted, it gave its
    // place back.
    RawTlsPeer second;
    RawTlsPeer third;
    QVERIFY(second.connect(quint16(acceptor.port().toUShort())));
    QVERIFY(second.handshake());
    QVERIFY(third.connect(quint16(acceptor.port().toUShort())));
    QCOMPARE(third.handshake(), admitted);

    // A frame of exactly frameBytes: a record padded with its payload.
    KvrConfig big = makeRecord(QStringLiteral("test:::big"), QByteArray());
    big.SetValue(QStringLiteral("payload"),
                 QByteArray(frameBytes - makeRecord(QStringLiteral("test:::big"), QByteArray("")).SerializeConfigBinary().size(), 'p'));
    QCOMPARE(big.SerializeConfigBinary().size(), frameBytes);
    peer.sendInside(RawTlsPeer::frame(big));
    if (frameBytes <= limits.frameLimit || admitted)
        QVERIFY(probe->waitForAnnounced(big.GetID()));

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(peer.waitUntilClosed(3 * limits.timeLimitMs), !staysOpen);
    if (!staysOpen && frameBytes <= limits.frameLimit)
        QVERIFY(clock.elapsed() >= limits.timeLimitMs / 2); // ended by the time limit, not before
    // The far side may see the socket close before the link announced its end.
    if (!staysOpen)
        QVERIFY(probe->waitForEnded());
    QCOMPARE(accepted->isConnected(), staysOpen);
    // The second link was never admitted: its time ran out too.
    QVERIFY(second.waitUntilClosed());
}

void tst_TcpConnection::farSideThatDoesNotReadIsBounded_data()
{
    QTest::addColumn<bool>("senderWaitsForRoom");

    // A worker that waits for room stops at the cap, and the link ends when
    // it does not drain in time; a sender that ignores the cap ends the link
    // one largest frame past it.
    QTest::newRow("sender waits for room") << true;
    QTest::newRow("sender ignores the cap") << false;
}

void tst_TcpConnection::farSideThatDoesNotReadIsBounded()
{
    QFETCH(bool, senderWaitsForRoom);
    constexpr int DrainTimeLimitMs = 1500;
    // What the kernel's socket buffers take on top of the link's own queue.
    constexpr qint64 KernelBytes = 8 * 1024 * 1024;
    ShortDrainTimeLimit shortLimit(DrainTimeLimitMs);

    ServerThread<Acceptor> acceptor(m_keys);
    RawTlsPeer peer;
    QVERIFY(peer.connect(quint16(acceptor.port().toUShort())));
    Probe *probe = nullptr;
    TcpConnection *sender = acceptor.server->link(0, &probe);
    QVERIFY(sender);
    QVERIFY(peer.handshake());
    peer.stopReading();

    const KvrConfig record = numberedRecord(0);
    const qint64 recordBytes = record.SerializeConfigBinary().size();
    qint64 accepted = 0;
    for (int n = 0; n < 200; ++n) {
        if (senderWaitsForRoom && !sender->waitForSendRoom(300))
            break;
        if (!sender->pushCommand(record))
            break;
        accepted += recordBytes;
    }
    const QString figures = QStringLiteral("%1 MiB accepted").arg(accepted / (1024 * 1024));
    QVERIFY2(accepted >= TcpConnection::SendBacklogCap, qPrintable(figures));
    if (senderWaitsForRoom) {
        QVERIFY2(accepted < TcpConnection::SendBacklogCap + recordBytes + KernelBytes, qPrintable(figures));
        QVERIFY(sender->isConnected());
        QVERIFY(!sender->hasSendRoom());
    } else {
        QVERIFY2(accepted <= TcpConnection::SendBacklogCap + TcpConnection::MaxFrameSize + KernelBytes,
                 qPrintable(figures));
    }
    QVERIFY(probe->waitForEnded());
    QVERIFY(!sender->isConnected());
    QVERIFY(!sender->waitForSendRoom(0));
    QVERIFY(!sender->pushCommand(record));
}

void tst_TcpConnection::slowReaderGetsEveryFrameInOrder()
{
    constexpr int Records = 48;
    // Far shorter than the default, yet long enough for a slow build's reader.
    ShortDrainTimeLimit shortLimit(10000);

    ServerThread<Acceptor> acceptor(m_keys);
    RawTlsPeer peer;
    QVERIFY(peer.connect(quint16(acceptor.port().toUShort())));
    TcpConnection *sender = acceptor.server->link(0);
    QVERIFY(sender);
    QVERIFY(peer.handshake());

    std::atomic<int> pushed{0};
    std::atomic<bool> sawCap{false};
    std::thread worker([&] {
        for (int n = 0; n < Records; ++n) {
            if (!sender->hasSendRoom())
                sawCap = true;
            if (!sender->waitForSendRoom(kWaitMs) || !sender->pushCommand(numberedRecord(n)))
                return;
            ++pushed;
        }
    });
    // Nothing is read until the worker meets the cap: on a slow build the
    // reader could otherwise keep up with it, and the cap would go unseen.
    // Sleeping, not spinning the event loop, which would let the peer's
    // socket take everything in.
    for (const QDeadlineTimer capDeadline(kWaitMs); !sawCap && pushed < Records && !capDeadline.hasExpired();)
        QThread::msleep(10);
    for (int n = 0; n < Records; ++n) {
        KvrConfig arrived;
        QVERIFY2(arrived.DeserializeConfigBinary(peer.readFrame()), qPrintable(QString::number(n)));
        QCOMPARE(arrived.GetValue(QStringLiteral("number")).toInt(), n);
        QVERIFY(arrived.GetValue(QStringLiteral("payload")) == numberedRecord(n).GetValue(QStringLiteral("payload")));
        QThread::msleep(40); // about 25 MiB/s
    }
    worker.join();
    QCOMPARE(int(pushed), Records);
    QVERIFY(sawCap); // the worker was held back on the way
    QVERIFY(sender->isConnected());
}

void tst_TcpConnection::linksSendingToEachOtherBothDrain()
{
    // Both ends push far more than the cap at once and take what comes: a
    // link that stopped reading whenever its own sends were held up would
    // wait for the other forever (and end at the drain time limit).
    constexpr int Records = 48;
    ShortDrainTimeLimit shortLimit(10000);
    std::atomic<int> takenByAcceptor{0}, takenByConnector{0};
    const auto takeInOrder = [](std::atomic<int> *taken) {
        return [taken](TcpConnection *link, const QString &id, const QString &) {
            const KvrConfig record = link->getCommand(id, 0);
            if (record.GetValue(QStringLiteral("number")).toInt() == *taken)
                ++*taken;
        };
    };

    ServerThread<Acceptor> acceptor(m_keys);
    acceptor.server->setOnCommand(takeInOrder(&takenByAcceptor));
    Probe connectorProbe;
    connectorProbe.onCommand = takeInOrder(&takenByConnector);
    TcpConnection connector;
    connectorProbe.attach(&connector);
    QVERIFY(connector.connectToHost(QStringLiteral("127.0.0.1"), acceptor.port(), m_keys.publicKey));
    TcpConnection *accepted = acceptor.server->link(0);
    QVERIFY(accepted);

    const auto pushAll = [](TcpConnection *link) {
        for (int n = 0; n < Records; ++n) {
            if (!link->waitForSendRoom(kWaitMs) || !link->pushCommand(numberedRecord(n)))
                return;
        }
    };
    std::thread fromConnector(pushAll, &connector);
    std::thread fromAcceptor(pushAll, accepted);
    fromConnector.join();
    fromAcceptor.join();
    QTRY_COMPARE_WITH_TIMEOUT(int(takenByAcceptor), Records, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(int(takenByConnector), Records, kWaitMs);
    QVERIFY(connector.isConnected() && accepted->isConnected());
}

WIVORA_TEST_MAIN(tst_TcpConnection)
#include "tst_TcpConnection.moc"

