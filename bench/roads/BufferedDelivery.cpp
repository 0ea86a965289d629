// Delivery time of a buffered 1 KiB record between two stores joined by a
// real TcpConnection on loopback (add on one side until the whole record is
// stored in the other side's inbox), beside a plain TcpConnection round trip
// of a record of the same size on the same link.
//
// Each side's incoming records take one hop to a working thread before they
// reach the store, and each outgoing part one hop before it is pushed, as on
// the program's own road.

#include "BufferedDelivery.h"

#include "BenchFigures.h"
#include "BufferedCommands.h"
#include "DurableInbox.h"
#include "SessionState.h"

#include <TcpConnection.h>
#include <WCryptography.h>
#include <WivoraAccount.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QThread>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

using BenchFigures::Percentiles;

namespace {

constexpr int kWarmUp = 20;
constexpr int kRecords = 300;
constexpr int kRecordSize = 1024;
constexpr int kWaitMs = 30000;

const QString kEcho = QStringLiteral("bench:::echo");

// The "ID"s of the records handed to the input side, for one waiter.
class Arrivals
{
public:
    void add(const QString &id)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ids.push_back(id);
        m_changed.notify_all();
    }
    bool waitFor(const QString &id)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
            return std::find(m_ids.begin(), m_ids.end(), id) != m_ids.end();
        });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<QString> m_ids;
};

// One client: a session, its store, the link to the other client and the
// working thread its link records pass through.
class Side
{
public:
    Side(const QString &user, const QString &peer)
        : m_user(user)
        , m_peer(peer)
    {
        auto account = QSharedPointer<WivoraAccount>::create();
        account->setUserName(user);
        m_session.setAccount(account);
        m_working.start();
        m_hop.moveToThread(&m_working);

        BufferedCommands::Roads roads;
        roads.send = [this](const KvrConfig &record, const QString &, const QString &) {
            QMetaObject::invokeMethod(&m_hop, [this, record] { link->pushCommand(record); });
        };
        roads.hasPeerLink = [this](const QString &) { return link->isConnected(); };
        // Stored in the inbox before the acknowledgement, as the program
        // does, and taken out again at once, as a plug-in that filed it.
        m_inbox.open(m_folder.path());
        roads.deliver = [this](const KvrConfig &record) {
            if (!m_inbox.add(record))
                return false;
            arrivals.add(record.GetID());
            m_inbox.remove(record.GetID());
            return true;
        };
        store.reset(new BufferedCommands(&m_session, roads));
    }
    ~Side()
    {
        // Nothing queued for the store runs once the working thread is gone.
        m_working.quit();
        m_working.wait();
        store.reset();
    }

    // Routes what arrives on the link: echoes answered at once, everything
    // else through the working thread to the store.
    void attach(TcpConnection *connection)
    {
        link = connection;
        QObject::connect(
            connection, &TcpConnection::signalCommandReceived, connection,
            [this](const QString &id, const QString &command) {
                KvrConfig record = link->getCommand(id, 0);
                if (command == kEcho) {
                    link->pushCommand(record);
                    return;
                }
                record.sv(QStringLiteral("Wivora::sender"), m_peer);
                record.sv(QStringLiteral("Wivora::connectionID"), QStringLiteral("bench"));
                QMetaObject::invokeMethod(&m_hop, [this, record] { store->receiveBufferedPart(record); });
            },
            Qt::DirectConnection);
    }

    TcpConnection *link = nullptr;
    Arrivals arrivals;
    std::unique_ptr<BufferedCommands> store;

private:
    const QString m_user;
    const QString m_peer;
    SessionState m_session;
    QTemporaryDir m_folder;
    DurableInbox m_inbox;
    QThread m_working;
    QObject m_hop;
};

// The accepting end of the link, on its own thread.
class Acceptor : public QTcpServer
{
public:
    explicit Acceptor(const WKeyPair &keys)
        : m_keys(keys)
    {
    }
    std::unique_ptr<TcpConnection> accepted;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        accepted.reset(new TcpConnection);
        accepted->setKeyPair(m_keys.publicKey, m_keys.privateKey);
        accepted->setSocketDesctiptor(descriptor);
    }

private:
    WKeyPair m_keys;
};

KvrConfig recordOfSize(int size, const QString &command)
{
    KvrConfig record;
    record.SetID();
    record.sv(QStringLiteral("command"), command);
    record.SetValue(QStringLiteral("data"), QByteArray());
    record.SetValue(QStringLiteral("data"), QByteArray(size - record.SerializeConfigBinary().size(), 'm'));
    return record;
}

Percentiles roundTrips(TcpConnection &link)
{
    KvrConfig request = recordOfSize(kRecordSize, kEcho);
    std::vector<qint64> times;
    QElapsedTimer clock;
    for (int i = 0; i < kWarmUp + kRecords; ++i) {
        request.SetID();
        clock.start();
        if (link.sendCommand(request, kWaitMs).GetID() != request.GetID())
            qFatal("round trip %d lost its reply", i);
        if (i >= kWarmUp)
            times.push_back(clock.nsecsElapsed());
    }
    return BenchFigures::percentiles(times, BenchFigures::kMicrosecond);
}

Percentiles bufferedDeliveries(Side &sender, Side &receiver, const QString &receiverName)
{
    KvrConfig record = recordOfSize(kRecordSize, QStringLiteral("wmail:::newMessage"));
    std::vector<qint64> times;
    QElapsedTimer clock;
    for (int i = 0; i < kWarmUp + kRecords; ++i) {
        record.SetID();
        clock.start();
        if (!sender.store->addBufferedCommand(receiverName, record))
            qFatal("record %d not buffered", i);
        if (!receiver.arrivals.waitFor(record.GetID()))
            qFatal("record %d not delivered", i);
        const qint64 elapsed = clock.nsecsElapsed();
        if (i >= kWarmUp)
            times.push_back(elapsed);
        // One message at a time, as typed: the next goes once this one is done.
        while (!sender.store->pendingCommands(receiverName).isEmpty())
            QThread::usleep(100);
    }
    return BenchFigures::percentiles(times, BenchFigures::kMicrosecond);
}

} // namespace

BufferedDelivery measureBufferedDelivery()
{
    const WKeyPair keys = WCryptography::GenerateKeyPair(2048);
    QThread acceptorThread;
    Acceptor acceptor(keys);
    acceptor.moveToThread(&acceptorThread);
    acceptorThread.start();
    QMetaObject::invokeMethod(
        &acceptor, [&] { acceptor.listen(QHostAddress::LocalHost, 0); }, Qt::BlockingQueuedConnection);

    TcpConnection aliceLink;
    if (!aliceLink.connectToHost(QStringLiteral("127.0.0.1"), QString::number(acceptor.serverPort()),
                                 keys.publicKey))
        qFatal("link did not connect");
    TcpConnection *bobLink = nullptr;
    QElapsedTimer waited;
    waited.start();
    while (!bobLink && waited.elapsed() < kWaitMs) {
        QMetaObject::invokeMethod(
            &acceptor, [&] { bobLink = acceptor.accepted && acceptor.accepted->isConnected() ? acceptor.accepted.get() : nullptr; },
            Qt::BlockingQueuedConnection);
        QThread::msleep(1);
    }
    if (!bobLink)
        qFatal("link was not accepted");

    BufferedDelivery result;
    {
        Side alice(QStringLiteral("alice"), QStringLiteral("bob"));
        Side bob(QStringLiteral("bob"), QStringLiteral("alice"));
        alice.attach(&aliceLink);
        bob.attach(bobLink);

        result.roundTrip = roundTrips(aliceLink);
        result.delivery = bufferedDeliveries(alice, bob, QStringLiteral("bob"));
        aliceLink.disconnectFromHost();
    }
    QMetaObject::invokeMethod(&acceptor, [&] { acceptor.accepted.reset(); acceptor.close(); },
                              Qt::BlockingQueuedConnection);
    acceptorThread.quit();
    acceptorThread.wait();
    return result;
}
