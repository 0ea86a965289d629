#include "RawTcpEcho.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

constexpr int kStartMs = 10000;

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

double cpuSecondsOf(clockid_t clock)
{
    timespec now{};
    if (clock_gettime(clock, &now) != 0)
        return 0;
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

int RawTcpEcho::serve()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, 64) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 1;
    std::printf("%u\n", unsigned(ntohs(address.sin_port)));
    std::fflush(stdout);

    std::thread([listener] {
        for (;;) {
            const int socket = ::accept(listener, nullptr, nullptr);
            if (socket < 0)
                return;
            noDelay(socket);
            std::thread([socket] {
                std::vector<char> frame;
                while (readFrame(socket, frame) && writeAll(socket, frame.data(), frame.size())) {
                }
                ::close(socket);
            }).detach();
        }
    }).detach();

    // The requesting process closes stdin when it is done (or gone).
    char ignored[64];
    while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
    }
    std::_Exit(0);
}

RawTcpEcho::~RawTcpEcho()
{
    if (m_far.state() == QProcess::NotRunning)
        return;
    m_far.closeWriteChannel();
    if (!m_far.waitForFinished(kStartMs))
        m_far.kill();
}

bool RawTcpEcho::start(const QString &program)
{
    m_far.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_far.start(program, {QString::fromLatin1(ServeArgument)});
    if (!m_far.waitForStarted(kStartMs))
        return false;
    while (!m_far.canReadLine()) {
        if (!m_far.waitForReadyRead(kStartMs))
            return false;
    }
    bool ok = false;
    m_port = quint16(m_far.readLine().trimmed().toUInt(&ok));
    return ok && m_port != 0;
}

double RawTcpEcho::cpuSeconds() const
{
    clockid_t far{};
    const double farSeconds =
        clock_getcpuclockid(pid_t(m_far.processId()), &far) == 0 ? cpuSecondsOf(far) : 0;
    return cpuSecondsOf(CLOCK_PROCESS_CPUTIME_ID) + farSeconds;
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
