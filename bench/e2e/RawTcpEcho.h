#pragma once

// The yardstick of the record road: plain blocking sockets on loopback, no
// Qt, no encryption. Every requester has a connection of its own and the far
// side answers each frame (4-byte length + body) with the same frame from a
// thread per connection, so a round trip costs two kernel crossings each way
// and nothing else.

#include <QtGlobal>

#include <thread>
#include <vector>

class RawTcpEcho
{
public:
    RawTcpEcho() = default;
    ~RawTcpEcho();
    RawTcpEcho(const RawTcpEcho &) = delete;
    RawTcpEcho &operator=(const RawTcpEcho &) = delete;

    // Listens on 127.0.0.1; false when it cannot.
    bool start();

    // count round trips of a frame with bodyBytes bytes from each of
    // requesters connections at once: the nanoseconds of each, and of the
    // whole run in *elapsedNs. Nothing when a socket failed.
    std::vector<qint64> run(int bodyBytes, int count, int requesters, qint64 *elapsedNs);

private:
    void acceptLoop();

    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_acceptor;
    std::vector<std::thread> m_answerers;
};
