// Loopback figures of TcpConnection beside a plain QTcpSocket measured in
// the same run: round-trip latency of small records through sendCommand (the
// far side answers each at once) and throughput of file-chunk-sized records.

#include "BenchFigures.h"
#include "TcpConnection.h"
#include "WCryptography.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

using BenchFigures::Percentiles;
using BenchFigures::printFigure;

namespace {

constexpr int kWarmUp = 200;
constexpr int kRoundTrips = 5000;
constexpr int kChunkSize = 252864;
constexpr int kChunks = 400;
constexpr int kWaitMs = 30000;

// Counts arrivals announced on other threads and lets one thread wait for a total.
class Counter
{
public:
    void add(qint64 n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_total += n;
        m_changed.notify_all();
    }
    bool waitFor(qint64 total)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] { return m_total >= total; });
    }
    void reset()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_total = 0;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_total = 0;
};

// Runs a server object's event loop on its own thread.
template<typename Server>
class ServerThread
{
public:
    template<typename... Args>
    explicit ServerThread(Args &&...args)
        : server(new Server(std::forward<Args>(args)...))
    {
        server->moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            server, [this] { server->listen(QHostAddress::LocalHost, 0); }, Qt::BlockingQueuedConnection);
    }
    ~ServerThread()
    {
        QMetaObject::invokeMethod(server, [this] { delete server; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    quint16 port() const { return server->serverPort(); }

    QThread thread;
    Server *server;
};

// The far side of the record links: echoes "echo" records at once, takes and
// counts everything else. Answers run on the transports' I/O thread, as a
// far side that answers without any thread hop would.
class RecordPeer : public QTcpServer
{
public:
    RecordPeer(const WKeyPair &keys, Counter *received)
        : m_keys(keys)
        , m_received(received)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *link = new TcpConnection(this);
        link->setKeyPair(m_keys.publicKey, m_keys.privateKey);
        Counter *received = m_received;
        connect(link, &TcpConnection::signalCommandReceived, link,
                [link, received](const QString &id, const QString &command) {
                    const KvrConfig record = link->getCommand(id, 0);
                    if (command == QLatin1String("bench:::echo"))
                        link->pushCommand(record);
                    else
                        received->add(record.GetValue(QStringLiteral("data")).size());
                },
                Qt::DirectConnection);
        link->setSocketDesctiptor(descriptor);
    }

private:
    WKeyPair m_keys;
    Counter *m_received;
};

// The baseline's far side: echoes every byte, or only counts them.
class BytePeer : public QTcpServer
{
public:
    BytePeer(bool echo, Counter *received)
        : m_echo(echo)
        , m_received(received)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            const QByteArray bytes = socket->readAll();
            if (m_echo)
                socket->write(bytes);
            else
                m_received->add(bytes.size());
        });
    }

private:
    bool m_echo;
    Counter *m_received;
};

Percentiles recordRoundTrips(TcpConnection &link)
{
    KvrConfig request;
    request.sv(QStringLiteral("command"), QStringLiteral("bench:::echo"));
    request.SetValue(QStringLiteral("data"), QByteArray(64, 'r'));
    std::vector<qint64> times;
    times.reserve(kRoundTrips);
    QElapsedTimer clock;
    for (int i = 0; i < kWarmUp + kRoundTrips; ++i) {
        request.SetID();
        clock.start();
        const KvrConfig reply = link.sendCommand(request, kWaitMs);
        const qint64 elapsed = clock.nsecsElapsed();
        if (reply.GetID() != request.GetID())
            qFatal("round trip %d lost its reply", i);
        if (i >= kWarmUp)
            times.push_back(elapsed);
    }
    return BenchFigures::percentiles(times, BenchFigures::kMicrosecond);
}

Percentiles socketRoundTrips(QTcpSocket &socket, int messageSize)
{
    const QByteArray message(messageSize, 'r');
    const std::vector<qint64> times = BenchFigures::timedRuns(kWarmUp, kRoundTrips, [&] {
        socket.write(message);
        socket.flush();
        qint64 got = 0;
        while (got < messageSize) {
            if (!socket.bytesAvailable() && !socket.waitForReadyRead(kWaitMs))
                return false;
            got += socket.read(messageSize - got).size();
        }
        return true;
    });
    if (times.empty())
        qFatal("baseline echo stalled");
    return BenchFigures::percentiles(times, BenchFigures::kMicrosecond);
}

double recordThroughput(TcpConnection &link, Counter &received)
{
    received.reset();
    KvrConfig chunk;
    chunk.sv(QStringLiteral("command"), QStringLiteral("bench:::chunk"));
    chunk.SetValue(QStringLiteral("data"), QByteArray(kChunkSize, 'c'));
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kChunks; ++i) {
        chunk.SetID();
        if (!link.pushCommand(chunk))
            qFatal("push %d refused", i);
    }
    if (!received.waitFor(qint64(kChunks) * kChunkSize))
        qFatal("chunks did not all arrive");
    return double(kChunks) * kChunkSize / 1e6 / (double(clock.nsecsElapsed()) / 1e9);
}

double socketThroughput(QTcpSocket &socket, Counter &received)
{
    received.reset();
    const QByteArray chunk(kChunkSize, 'c');
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kChunks; ++i)
        socket.write(chunk);
    while (socket.bytesToWrite() > 0)
        socket.waitForBytesWritten(kWaitMs);
    if (!received.waitFor(qint64(kChunks) * kChunkSize))
        qFatal("baseline bytes did not all arrive");
    return double(kChunks) * kChunkSize / 1e6 / (double(clock.nsecsElapsed()) / 1e9);
}

QTcpSocket *connectedSocket(quint16 port)
{
    auto *socket = new QTcpSocket;
    socket->connectToHost(QHostAddress::LocalHost, port);
    if (!socket->waitForConnected(kWaitMs))
        qFatal("baseline connect failed");
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return socket;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const WKeyPair keys = WCryptography::GenerateKeyPair(2048);
    Counter recordsReceived;
    Counter bytesReceived;
    ServerThread<RecordPeer> recordPeer(keys, &recordsReceived);
    ServerThread<BytePeer> echoPeer(true, nullptr);
    ServerThread<BytePeer> sinkPeer(false, &bytesReceived);

    TcpConnection link;
    if (!link.connectToHost(QStringLiteral("127.0.0.1"), QString::number(recordPeer.port()), keys.publicKey))
        qFatal("link did not connect");
    std::unique_ptr<QTcpSocket> echoSocket(connectedSocket(echoPeer.port()));
    std::unique_ptr<QTcpSocket> sinkSocket(connectedSocket(sinkPeer.port()));

    // The baseline echoes as many bytes as a small record's frame carries.
    KvrConfig probe;
    probe.SetID();
    probe.sv(QStringLiteral("command"), QStringLiteral("bench:::echo"));
    probe.SetValue(QStringLiteral("data"), QByteArray(64, 'r'));
    const int smallFrameSize = 4 + probe.SerializeConfigBinary().size() + 16;

    const Percentiles baseline = socketRoundTrips(*echoSocket, smallFrameSize);
    const Percentiles records = recordRoundTrips(link);
    printFigure("sendCommand round trip p50", records.p50, "us", "QTcpSocket echo p50", baseline.p50);
    printFigure("sendCommand round trip p99", records.p99, "us", "QTcpSocket echo p99", baseline.p99);

    const double baselineRate = socketThroughput(*sinkSocket, bytesReceived);
    const double recordRate = recordThroughput(link, recordsReceived);
    printFigure("throughput of 252864-byte records", recordRate, "MB/s", "QTcpSocket stream", baselineRate);

    link.disconnectFromHost();
    return 0;
}
