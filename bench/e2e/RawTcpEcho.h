#pragma once

// The yardstick of the record road: plain blocking sockets on loopback
// between two processes, no Qt, no encryption, no polling. Every requester
// has a connection of its own and the far process answers each frame
// (4-byte length + body) with the same frame from a thread per connection,
// so a round trip costs two kernel crossings each way and nothing else, as
// the road's two client processes would at best.

#include <QProcess>
#include <QString>

#include <vector>

class RawTcpEcho
{
public:
    // The argument that makes this program the far side (see serve()).
    static constexpr const char *ServeArgument = "--raw-tcp-echo";

    RawTcpEcho() = default;
    ~RawTcpEcho();
    RawTcpEcho(const RawTcpEcho &) = delete;
    RawTcpEcho &operator=(const RawTcpEcho &) = delete;

    // The far side, in the process started with ServeArgument: listens on
    // 127.0.0.1, writes its port as a line to stdout and answers until stdin
    // ends. Returns the process's exit code.
    static int serve();

    // Starts program with ServeArgument as the far side; false when it
    // does not come up.
    bool start(const QString &program);

    // count round trips of a frame with bodyBytes bytes from each of
    // requesters connections at once: the nanoseconds of each, and of the
    // whole run in *elapsedNs. Nothing when a socket failed.
    std::vector<qint64> run(int bodyBytes, int count, int requesters, qint64 *elapsedNs);

    // User plus system time so far of both ends: this process, which holds
    // the requesters, and the far one, to the nanosecond.
    double cpuSeconds() const;

private:
    QProcess m_far;
    quint16 m_port = 0;
};
