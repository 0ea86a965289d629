#pragma once

#include <QString>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <functional>
#include <memory>

// The main server's UDP rendezvous: pairs the two ends of a UDP link by their
// session number and tells each end the other's endpoint as seen from here.
//
// An initiator joins {session, own, peer}; a new session is kept only when
// onInitiatorJoin agrees (the server checks that both users are online and
// tells the peer), otherwise the initiator gets a refusal at once. The
// acceptor then joins with the same session and the two names reversed, and
// both ends receive each other's endpoint. Repeated joins (the ends resend
// until answered) are answered again and never asked about twice. A session
// taken by other names or another initiator endpoint is refused.
//
// Sessions are forgotten 30 s after the initiator's join; joins are limited
// per source address; malformed datagrams are ignored. Everything runs on
// the io_context (one strand), and so does the callback.
class UdpRendezvous
{
public:
    using Endpoint = boost::asio::ip::udp::endpoint;
    // Asked once per new session; false refuses the initiator.
    using InitiatorCheck =
        std::function<bool(int session, const QString &own, const QString &peer, const Endpoint &from)>;

    static constexpr int SessionLifetimeMs = 30000;
    static constexpr int MaxSessions = 4096;
    // Per source address: a burst of this many joins, then this many a second.
    static constexpr int JoinBurst = 20;
    static constexpr int JoinsPerSecond = 10;

    UdpRendezvous(boost::asio::io_context &io, InitiatorCheck onInitiatorJoin);
    // Returns once no callback runs any more; destroy before the io_context.
    ~UdpRendezvous();
    UdpRendezvous(const UdpRendezvous &) = delete;
    UdpRendezvous &operator=(const UdpRendezvous &) = delete;

    // Binds (host, port) and starts answering; port 0 picks a free port.
    // False when the address is not an IP address or cannot be bound.
    bool listen(const QString &host, quint16 port);
    // The bound port; 0 before a successful listen().
    quint16 port() const;

private:
    class Core;
    std::shared_ptr<Core> d;
};
