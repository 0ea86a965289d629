#include "RawTcpEcho.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

bool readAll(int socket, char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = ::recv(socket, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= std::size_t(got);
    }
    return true;
}

bool writeAll(int socket, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= std::size_t(sent);
    }
    return true;
}

// One frame into buffer (resized to length + body); false at the end.
bool readFrame(int socket, std::vector<char> &buffer)
{
    buffer.resize(4);
    if (!readAll(socket, buffer.data(), 4))
        return false;
    quint32 length = 0;
    std::memcpy(&length, buffer.data(), 4);
    length = ntohl(length);
    buffer.resize(4 + std::size_t(length));
    return readAll(socket, buffer.data() + 4, length);
}

void noDelay(int socket)
{
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

RawTcpEcho::~RawTcpEcho()
{
    if (m_listener >= 0)
        ::shutdown(m_listener, SHUT_RDWR);
    if (m_acceptor.joinable())
        m_acceptor.join();
    if (m_listener >= 0)
        ::close(m_listener);
    // Each answerer ends when its requester closed its socket.
    for (std::thread &answerer : m_answerers)
        answerer.join();
}

bool RawTcpEcho::start()
{
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(m_listener, 64) != 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
    return true;
}

void RawTcpEcho::acceptLoop()
{
    for (;;) {
        const int socket = ::accept(m_listener, nullptr, nullptr);
        if (socket < 0)
            return;
        noDelay(socket);
        m_answerers.emplace_back([socket] {
            std::vector<char> frame;
            while (readFrame(socket, frame) && writeAll(socket, frame.data(), frame.size())) {
            }
            ::close(socket);
        });
    }
}

std::vector<qint64> RawTcpEcho::run(int bodyBytes, int count, int requesters, qint64 *elapsedNs)
{
    std::vector<int> sockets;
    for (int r = 0; r < requesters; ++r) {
        const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_port);
        if (socket < 0 || ::connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            qFatal("raw TCP: no connection");
        noDelay(socket);
        sockets.push_back(socket);
    }

    std::vector<char> frame(4 + std::size_t(bodyBytes), 'x');
    const quint32 length = htonl(quint32(bodyBytes));
    std::memcpy(frame.data(), &length, 4);

    std::vector<qint64> samples(std::size_t(count) * std::size_t(requesters), -1);
    QElapsedTimer all;
    all.start();
    std::vector<std::thread> threads;
    for (int r = 0; r < requesters; ++r) {
        threads.emplace_back([&, r] {
            std::vector<char> answer;
            QElapsedTimer one;
            for (int i = 0; i < count; ++i) {
                one.start();
                if (!writeAll(sockets[std::size_t(r)], frame.data(), frame.size())
                    || !readFrame(sockets[std::size_t(r)], answer))
                    return;
                samples[std::size_t(r) * std::size_t(count) + std::size_t(i)] = one.nsecsElapsed();
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    *elapsedNs = all.nsecsElapsed();
    for (const int socket : sockets)
        ::close(socket);
    for (const qint64 sample : samples) {
        if (sample < 0)
            return {};
    }
    return samples;
}
