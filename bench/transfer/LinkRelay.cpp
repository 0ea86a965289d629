#include "LinkRelay.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int ReadBytes = 64 * 1024;
// The queue before the narrow part, beyond the bytes on their way.
constexpr qint64 QueueBytes = 4 * 1024 * 1024;

int connectUpstream(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

// One direction: a reader that stamps each block with the time it leaves
// the far end, and a sender that hands it on then.
class Direction
{
public:
    Direction(int from, int to, const LinkRelay::Shape &shape, std::atomic<qint64> *counted)
        : m_from(from), m_to(to), m_shape(shape), m_counted(counted)
    {
        m_reader = std::thread([this] { readLoop(); });
        m_sender = std::thread([this] { sendLoop(); });
    }
    ~Direction()
    {
        stop();
        m_reader.join();
        m_sender.join();
    }
    void stop()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        m_changed.notify_all();
        ::shutdown(m_from, SHUT_RD);
    }

private:
    struct Block
    {
        QByteArray data;
        Clock::time_point due;
    };

    void readLoop()
    {
        Clock::time_point narrowFree = Clock::now();
        for (;;) {
            QByteArray data(ReadBytes, Qt::Uninitialized);
            const ssize_t got = ::recv(m_from, data.data(), size_t(data.size()), 0);
            if (got < 0 && errno == EINTR)
                continue;
            std::unique_lock<std::mutex> lock(m_mutex);
            if (got <= 0 || m_stopped) {
                m_ended = true;
                m_changed.notify_all();
                return;
            }
            data.truncate(int(got));
            // Through the narrow part one after the other, then across.
            const double rate = m_shape.bytesPerSecond;
            const auto now = Clock::now();
            if (narrowFree < now)
                narrowFree = now;
            if (rate > 0)
                narrowFree += std::chrono::microseconds(qint64(double(got) * 1e6 / rate));
            const qint64 oneWay = m_shape.oneWayUs;
            m_queue.push_back({data, narrowFree + std::chrono::microseconds(oneWay)});
            m_queued += got;
            m_changed.notify_all();
            // What the link holds: the bytes crossing plus the queue.
            const qint64 holds = qint64(rate * double(oneWay) / 1e6) + QueueBytes;
            m_changed.wait(lock, [&] { return m_stopped || m_queued < holds; });
        }
    }

    void sendLoop()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return m_stopped || m_ended || !m_queue.empty(); });
            if (m_stopped || m_queue.empty()) {
                ::shutdown(m_to, SHUT_WR);
                return;
            }
            const Block block = m_queue.front();
            if (m_changed.wait_until(lock, block.due, [&] { return m_stopped; }))
                continue;
            m_queue.pop_front();
            lock.unlock();
            const bool sent = sendAll(m_to, block.data.constData(), size_t(block.data.size()));
            if (m_counted)
                *m_counted += block.data.size();
            lock.lock();
            m_queued -= block.data.size();
            m_changed.notify_all();
            if (!sent) {
                m_stopped = true;
                ::shutdown(m_from, SHUT_RD);
            }
        }
    }

    const int m_from;
    const int m_to;
    const LinkRelay::Shape &m_shape;
    std::atomic<qint64> *const m_counted;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Block> m_queue;
    qint64 m_queued = 0;
    bool m_ended = false;
    bool m_stopped = false;
    std::thread m_reader;
    std::thread m_sender;
};

} // namespace

class LinkRelay::Pipe
{
public:
    Pipe(int near, int far, const Shape &shape, std::atomic<qint64> *down)
        : m_near(near), m_far(far), m_up(std::make_unique<Direction>(near, far, shape, nullptr)),
          m_down(std::make_unique<Direction>(far, near, shape, down))
    {
    }
    ~Pipe()
    {
        m_up->stop();
        m_down->stop();
        // Both directions are joined before their sockets close.
        m_up.reset();
        m_down.reset();
        ::close(m_near);
        ::close(m_far);
    }

private:
    const int m_near;
    const int m_far;
    std::unique_ptr<Direction> m_up;
    std::unique_ptr<Direction> m_down;
};

LinkRelay::LinkRelay(quint16 upstreamPort) : m_upstreamPort(upstreamPort)
{
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_listener, 16) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return;
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

LinkRelay::~LinkRelay()
{
    m_stopping = true;
    if (m_listener >= 0)
        ::shutdown(m_listener, SHUT_RDWR);
    if (m_acceptor.joinable())
        m_acceptor.join();
    if (m_listener >= 0)
        ::close(m_listener);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pipes.clear();
}

void LinkRelay::setShape(int roundTripMs, double bytesPerSecond)
{
    m_shape.oneWayUs = qint64(roundTripMs) * 1000 / 2;
    m_shape.bytesPerSecond = bytesPerSecond;
}

void LinkRelay::acceptLoop()
{
    while (!m_stopping) {
        const int near = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (near < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            return;
        }
        const int far = connectUpstream(m_upstreamPort);
        if (far < 0) {
            ::close(near);
            continue;
        }
        for (const int fd : {near, far}) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pipes.push_back(std::make_unique<Pipe>(near, far, m_shape, &m_bytesDown));
    }
}
