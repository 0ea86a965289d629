#pragma once

#include "basislib_global.h"

#include <QByteArray>
#include <QtGlobal>

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <functional>
#include <memory>

class UdpRendezvousDatagram;

// The client's one UDP endpoint: an ENet host on an ephemeral port, serviced
// from an io_context that its owner runs on a thread of its own. Every UDP
// link of the client travels through this one socket, and so do the raw
// datagrams that pair a link through the main server's rendezvous port.
//
// ENet is not thread-safe: everything that touches the host runs on strand().
// UDP links post their work there; the operations in the "for UDP links"
// block below may only be called on that strand.
//
// Destroy the tower before its io_context. Destruction needs no running
// io_context: the host is closed on the strand when the context runs again,
// or when the context itself is destroyed.
class BASISLIB_EXPORT UdpTower
{
public:
    using Strand = boost::asio::strand<boost::asio::io_context::executor_type>;
    using PeerId = quint32;

    enum class Binding { AnyAddress, Loopback };

    // Room for a 16 MiB record with its frame header and authentication tag.
    static constexpr int MaxPacketSize = 16 * 1024 * 1024 + 64;
    static constexpr int MaxLinks = 256;

    explicit UdpTower(boost::asio::io_context &io, Binding binding = Binding::AnyAddress);
    ~UdpTower();
    UdpTower(const UdpTower &) = delete;
    UdpTower &operator=(const UdpTower &) = delete;

    // False when no UDP port could be bound; every link then fails to connect.
    bool isValid() const;
    quint16 localPort() const;
    Strand strand() const;

    // Drops that share (0..1) of the link datagrams this endpoint receives, so
    // tests exercise retransmission. Rendezvous datagrams are never dropped.
    void setDropRateForTesting(double share);

    // ------------------------------------------------------ for UDP links
    // What the tower reports to one link, always on the strand.
    class Link
    {
    public:
        virtual ~Link() = default;
        // The server answered the link's join: the other end's endpoint, or a refusal.
        virtual void towerJoinAnswered(bool paired, quint32 ipv4, quint16 port) = 0;
        // The ENet connection to the other end is up (either role).
        virtual void towerPeerConnected(PeerId peer) = 0;
        virtual void towerPacketReceived(const char *data, int size) = 0;
        virtual void towerPeerDisconnected() = 0;
    };

    // Sends the join to the server's rendezvous endpoint and repeats it until
    // an answer from that endpoint arrives or the link is released.
    void startJoin(const std::shared_ptr<Link> &link, const UdpRendezvousDatagram &join,
                   quint32 serverIpv4, quint16 serverPort);
    // Initiator: opens the ENet connection, the session as its connect data.
    // 0 when the host has no room.
    PeerId connectToPeer(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port,
                         quint32 session);
    // Acceptor: an incoming connection from that endpoint whose connect data is
    // the session goes to this link; any other incoming connection is refused.
    void expectConnect(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port,
                       quint32 session);
    // Queues one reliable, ordered packet; false when the peer is gone.
    // `released` runs once, on the strand, when ENet no longer holds the
    // packet (acknowledged, or the peer gone), or at once on false: the
    // link counts with it what still waits to be sent.
    bool send(PeerId peer, const QByteArray &packet, std::function<void()> released = {});
    // Forgets everything of the link; its peer is disconnected once the
    // packets already queued for it are out.
    void release(Link *link);

private:
    class Core;
    std::shared_ptr<Core> d;
};
