#pragma once

#include <QtGlobal>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// A long link in user space, for benchmarks on one machine: listens on a
// loopback port and joins each connection to 127.0.0.1:upstreamPort, holding
// every byte for half the round trip in each direction and letting no more
// than the rate through, like a narrow link far away with a bounded queue
// before it (bytes past the queue wait in the sender's socket). The shape
// applies to connections already joined too, from their next bytes on.
class LinkRelay
{
public:
    explicit LinkRelay(quint16 upstreamPort);
    // Ends every connection and joins the threads.
    ~LinkRelay();
    LinkRelay(const LinkRelay &) = delete;
    LinkRelay &operator=(const LinkRelay &) = delete;

    // 0 when it could not listen.
    quint16 port() const { return m_port; }
    void setShape(int roundTripMs, double bytesPerSecond);
    // Bytes carried towards the connecting side, all connections together.
    qint64 bytesDown() const { return m_bytesDown; }

    struct Shape
    {
        std::atomic<qint64> oneWayUs{0};
        std::atomic<double> bytesPerSecond{0};
    };

private:
    class Pipe;
    void acceptLoop();

    const quint16 m_upstreamPort;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stopping{false};
    Shape m_shape;
    std::atomic<qint64> m_bytesDown{0};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Pipe>> m_pipes;
};
