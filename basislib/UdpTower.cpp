#include "UdpTower.h"

#include "UdpRendezvousDatagram.h"

#include <QRandomGenerator>
#include <QtDebug>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <enet/enet.h>

#include <arpa/inet.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kJoinResendInterval{250};
// How soon ENet gets the host again: while packets await acknowledgement (its
// retransmission timer), while a join awaits the server, while links are
// merely open (ENet's pings and peer time-outs), and while nothing goes on.
constexpr milliseconds kBusyTick{2};
constexpr milliseconds kJoinTick{50};
constexpr milliseconds kOpenTick{100};
constexpr milliseconds kIdleTick{1000};

void initialiseEnetOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        if (enet_initialize() != 0)
            qWarning("UdpTower: ENet could not be initialised");
    });
}

ENetAddress enetAddress(quint32 ipv4, quint16 port)
{
    ENetAddress address;
    address.host = htonl(ipv4);
    address.port = port;
    return address;
}

// Outgoing packets point into bytes that ENet frees with the packet, so a
// large record is never copied into ENet.
struct OutgoingPacket
{
    QByteArray bytes;
    std::function<void()> released;
};

void ENET_CALLBACK freePacketBytes(ENetPacket *packet)
{
    auto *outgoing = static_cast<OutgoingPacket *>(packet->userData);
    if (outgoing->released)
        outgoing->released();
    delete outgoing;
}

bool hasQueuedCommands(const ENetPeer &peer)
{
    return !enet_list_empty(&peer.sentReliableCommands) || !enet_list_empty(&peer.outgoingCommands);
}

} // namespace

class UdpTower::Core : public std::enable_shared_from_this<Core>
{
public:
    using Role = UdpRendezvousDatagram::Role;

    explicit Core(boost::asio::io_context &io)
        : strand(boost::asio::make_strand(io))
        , descriptor(io)
        , tick(io)
        , dropDice(QRandomGenerator::global()->generate())
    {
    }
    ~Core() { destroyHost(); }

    bool open(Binding binding);
    void close() { destroyHost(); }

    void service();
    void startJoin(const std::shared_ptr<Link> &link, const UdpRendezvousDatagram &join, quint32 serverIpv4,
                   quint16 serverPort);
    PeerId connectToPeer(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port, quint32 session);
    void expectConnect(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port, quint32 session);
    bool send(PeerId id, const QByteArray &packet, std::function<void()> released);
    void release(Link *link);

    const Strand strand;
    bool valid = false;
    quint16 port = 0;
    std::atomic<double> dropRate{0};

private:
    struct Join
    {
        std::weak_ptr<Link> link;
        QByteArray bytes;
        quint32 session;
        Role role;
        quint32 serverIpv4;
        quint16 serverPort;
        Clock::time_point nextSend;
    };
    struct Expected
    {
        std::weak_ptr<Link> link;
        quint32 ipv4;
        quint16 port;
        quint32 session;
    };
    struct Peer
    {
        ENetPeer *peer;
        std::weak_ptr<Link> link;
        Link *owner;
    };
    struct Answer
    {
        UdpRendezvousDatagram datagram;
        quint32 fromIpv4;
        quint16 fromPort;
    };

    static int ENET_CALLBACK intercept(ENetHost *host, ENetEvent *event);
    int interceptDatagram();
    void handleAnswer(const Answer &answer);
    void dispatch(const ENetEvent &event);
    void acceptIncoming(ENetPeer *peer, quint32 session);
    PeerId adopt(ENetPeer *peer, const std::shared_ptr<Link> &link);
    std::map<PeerId, Peer>::iterator findPeer(const ENetPeer *peer);
    void resendJoins();
    void sendRaw(const QByteArray &bytes, quint32 ipv4, quint16 port);
    bool socketReadable() const;
    void armReadWait();
    void scheduleTick();
    milliseconds nextTickInterval() const;
    void destroyHost();

    // ENet's intercept callback has no user pointer: the tower being serviced
    // on this thread is the one it belongs to.
    static thread_local Core *servicing;

    boost::asio::posix::stream_descriptor descriptor;
    boost::asio::steady_timer tick;
    bool waitPending = false;
    bool tickPending = false;
    Clock::time_point tickDue;
    ENetHost *host = nullptr;
    std::minstd_rand dropDice;

    std::map<Link *, Join> joins;
    std::map<Link *, Expected> expected;
    std::map<PeerId, Peer> peers;
    PeerId nextPeerId = 1;
    // Answers seen inside enet_host_service(), handled once it returned.
    std::vector<Answer> answers;
};

thread_local UdpTower::Core *UdpTower::Core::servicing = nullptr;

bool UdpTower::Core::open(Binding binding)
{
    initialiseEnetOnce();
    ENetAddress address;
    address.host = binding == Binding::Loopback ? htonl(INADDR_LOOPBACK) : ENET_HOST_ANY;
    address.port = 0;
    host = enet_host_create(&address, MaxLinks, 1, 0, 0);
    if (!host)
        return false;
    host->maximumPacketSize = MaxPacketSize;
    host->intercept = &Core::intercept;
    port = host->address.port;
    boost::system::error_code error;
    descriptor.assign(host->socket, error);
    if (error || port == 0) {
        destroyHost();
        return false;
    }
    valid = true;
    return true;
}

void UdpTower::Core::destroyHost()
{
    if (!host)
        return;
    tick.cancel();
    // ENet owns the socket.
    if (descriptor.is_open())
        descriptor.release();
    for (size_t i = 0; i < host->peerCount; ++i) {
        if (host->peers[i].state != ENET_PEER_STATE_DISCONNECTED)
            enet_peer_disconnect_now(&host->peers[i], 0);
    }
    enet_host_destroy(host);
    host = nullptr;
    joins.clear();
    expected.clear();
    peers.clear();
}

void UdpTower::Core::service()
{
    if (!host)
        return;
    servicing = this;
    ENetEvent event;
    int result;
    while ((result = enet_host_service(host, &event, 0)) > 0)
        dispatch(event);
    servicing = nullptr;
    if (result < 0)
        qWarning("UdpTower: servicing the host failed");

    std::vector<Answer> arrived;
    arrived.swap(answers);
    for (const Answer &answer : arrived)
        handleAnswer(answer);
    resendJoins();
    scheduleTick();
    armReadWait();
}

int ENET_CALLBACK UdpTower::Core::intercept(ENetHost *host, ENetEvent *)
{
    Core *core = servicing;
    return core && core->host == host ? core->interceptDatagram() : 0;
}

int UdpTower::Core::interceptDatagram()
{
    const auto *data = reinterpret_cast<const char *>(host->receivedData);
    const int size = int(host->receivedDataLength);
    if (UdpRendezvousDatagram::hasMagic(data, size)) {
        Answer answer;
        if (UdpRendezvousDatagram::decode(data, size, &answer.datagram)
            && answer.datagram.type != UdpRendezvousDatagram::Type::Join) {
            answer.fromIpv4 = ntohl(host->receivedAddress.host);
            answer.fromPort = host->receivedAddress.port;
            answers.push_back(answer);
        }
        return 1;
    }
    const double rate = dropRate.load(std::memory_order_relaxed);
    if (rate > 0 && std::uniform_real_distribution<double>(0, 1)(dropDice) < rate)
        return 1;
    return 0;
}

void UdpTower::Core::handleAnswer(const Answer &answer)
{
    const UdpRendezvousDatagram &d = answer.datagram;
    for (auto it = joins.begin(); it != joins.end(); ++it) {
        const Join &join = it->second;
        // Only the server the join went to may answer it.
        if (join.session != d.session || join.role != d.role || join.serverIpv4 != answer.fromIpv4
            || join.serverPort != answer.fromPort)
            continue;
        const std::shared_ptr<Link> link = join.link.lock();
        joins.erase(it);
        if (link)
            link->towerJoinAnswered(d.type == UdpRendezvousDatagram::Type::Paired, d.ipv4, d.port);
        return;
    }
}

void UdpTower::Core::dispatch(const ENetEvent &event)
{
    switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT: {
        const auto it = findPeer(event.peer);
        if (it == peers.end()) {
            acceptIncoming(event.peer, event.data);
            return;
        }
        if (const std::shared_ptr<Link> link = it->second.link.lock())
            link->towerPeerConnected(it->first);
        break;
    }
    case ENET_EVENT_TYPE_RECEIVE: {
        const auto it = findPeer(event.peer);
        if (const std::shared_ptr<Link> link = it != peers.end() ? it->second.link.lock() : nullptr)
            link->towerPacketReceived(reinterpret_cast<const char *>(event.packet->data),
                                      int(event.packet->dataLength));
        enet_packet_destroy(event.packet);
        break;
    }
    case ENET_EVENT_TYPE_DISCONNECT: {
        const auto it = findPeer(event.peer);
        event.peer->data = nullptr;
        if (it == peers.end())
            return;
        const std::shared_ptr<Link> link = it->second.link.lock();
        peers.erase(it);
        if (link)
            link->towerPeerDisconnected();
        break;
    }
    case ENET_EVENT_TYPE_NONE:
        break;
    }
}

// ENet recycles peer slots, and a slot that ENet reset by itself may still
// carry an old identifier: an identifier counts only with its own slot.
std::map<UdpTower::PeerId, UdpTower::Core::Peer>::iterator UdpTower::Core::findPeer(const ENetPeer *peer)
{
    const auto it = peers.find(PeerId(reinterpret_cast<std::uintptr_t>(peer->data)));
    return it != peers.end() && it->second.peer == peer ? it : peers.end();
}

// An incoming connection belongs to the acceptor that expects it from that
// endpoint with that session. An acceptor whose own answer from the server is
// still on its way (or was lost) takes it by the session alone: the link's
// signed first frame, not the endpoint, is what proves the caller.
void UdpTower::Core::acceptIncoming(ENetPeer *peer, quint32 session)
{
    const quint32 ipv4 = ntohl(peer->address.host);
    std::shared_ptr<Link> link;
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        if (it->second.session == session && it->second.ipv4 == ipv4 && it->second.port == peer->address.port) {
            link = it->second.link.lock();
            expected.erase(it);
            break;
        }
    }
    if (!link) {
        for (auto it = joins.begin(); it != joins.end(); ++it) {
            if (it->second.role == Role::Acceptor && it->second.session == session) {
                link = it->second.link.lock();
                joins.erase(it);
                break;
            }
        }
    }
    if (!link) {
        enet_peer_disconnect_now(peer, 0);
        return;
    }
    link->towerPeerConnected(adopt(peer, link));
}

UdpTower::PeerId UdpTower::Core::adopt(ENetPeer *peer, const std::shared_ptr<Link> &link)
{
    const PeerId id = nextPeerId++;
    if (nextPeerId == 0)
        nextPeerId = 1;
    peer->data = reinterpret_cast<void *>(std::uintptr_t(id));
    peers[id] = Peer{peer, link, link.get()};
    return id;
}

void UdpTower::Core::startJoin(const std::shared_ptr<Link> &link, const UdpRendezvousDatagram &join,
                               quint32 serverIpv4, quint16 serverPort)
{
    const QByteArray bytes = join.encode();
    if (bytes.isEmpty()) {
        link->towerJoinAnswered(false, 0, 0);
        return;
    }
    joins[link.get()] = Join{link, bytes, join.session, join.role, serverIpv4, serverPort, Clock::now()};
    resendJoins();
    scheduleTick();
}

void UdpTower::Core::resendJoins()
{
    const Clock::time_point now = Clock::now();
    for (auto it = joins.begin(); it != joins.end();) {
        Join &join = it->second;
        if (join.link.expired()) {
            it = joins.erase(it);
            continue;
        }
        if (now >= join.nextSend) {
            sendRaw(join.bytes, join.serverIpv4, join.serverPort);
            join.nextSend = now + kJoinResendInterval;
        }
        ++it;
    }
}

void UdpTower::Core::sendRaw(const QByteArray &bytes, quint32 ipv4, quint16 port)
{
    if (!host)
        return;
    const ENetAddress address = enetAddress(ipv4, port);
    ENetBuffer buffer;
    buffer.data = const_cast<char *>(bytes.constData());
    buffer.dataLength = size_t(bytes.size());
    enet_socket_send(host->socket, &address, &buffer, 1);
}

UdpTower::PeerId UdpTower::Core::connectToPeer(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port,
                                               quint32 session)
{
    if (!host)
        return 0;
    const ENetAddress address = enetAddress(ipv4, port);
    ENetPeer *peer = enet_host_connect(host, &address, 1, session);
    if (!peer)
        return 0;
    const PeerId id = adopt(peer, link);
    enet_host_flush(host);
    scheduleTick();
    return id;
}

void UdpTower::Core::expectConnect(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port,
                                   quint32 session)
{
    expected[link.get()] = Expected{link, ipv4, port, session};
}

bool UdpTower::Core::send(PeerId id, const QByteArray &packet, std::function<void()> released)
{
    const auto it = peers.find(id);
    auto *outgoing = new OutgoingPacket{packet, std::move(released)};
    ENetPacket *enetPacket = host && it != peers.end()
                                 ? enet_packet_create(outgoing->bytes.constData(), size_t(outgoing->bytes.size()),
                                                      ENET_PACKET_FLAG_RELIABLE | ENET_PACKET_FLAG_NO_ALLOCATE)
                                 : nullptr;
    if (!enetPacket) {
        if (outgoing->released)
            outgoing->released();
        delete outgoing;
        return false;
    }
    enetPacket->userData = outgoing;
    enetPacket->freeCallback = &freePacketBytes;
    if (enet_peer_send(it->second.peer, 0, enetPacket) < 0) {
        enet_packet_destroy(enetPacket);
        return false;
    }
    enet_host_flush(host);
    scheduleTick();
    return true;
}

void UdpTower::Core::release(Link *link)
{
    joins.erase(link);
    expected.erase(link);
    for (auto it = peers.begin(); it != peers.end();) {
        if (it->second.owner != link) {
            ++it;
            continue;
        }
        ENetPeer *peer = it->second.peer;
        peer->data = nullptr;
        enet_peer_disconnect_later(peer, 0);
        it = peers.erase(it);
    }
    if (host) {
        enet_host_flush(host);
        scheduleTick();
    }
}

bool UdpTower::Core::socketReadable() const
{
    pollfd fd{host->socket, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN);
}

// The reactor reports readiness only as it happens (edge-triggered), so a
// datagram that came before the wait was queued is looked for by hand.
void UdpTower::Core::armReadWait()
{
    if (!host)
        return;
    if (!waitPending) {
        waitPending = true;
        descriptor.async_wait(boost::asio::posix::descriptor_base::wait_read,
                              boost::asio::bind_executor(strand, [self = shared_from_this()](
                                                                     const boost::system::error_code &error) {
                                  self->waitPending = false;
                                  if (!error)
                                      self->service();
                              }));
    }
    if (socketReadable())
        boost::asio::post(strand, [self = shared_from_this()] { self->service(); });
}

void UdpTower::Core::scheduleTick()
{
    if (!host)
        return;
    const Clock::time_point due = Clock::now() + nextTickInterval();
    if (tickPending && tickDue <= due)
        return;
    tickPending = true;
    tickDue = due;
    tick.expires_at(due);
    tick.async_wait(boost::asio::bind_executor(strand, [self = shared_from_this()](
                                                           const boost::system::error_code &error) {
        // A cancelled wait was replaced by an earlier one, which is still pending.
        if (error == boost::asio::error::operation_aborted)
            return;
        self->tickPending = false;
        self->service();
    }));
}

milliseconds UdpTower::Core::nextTickInterval() const
{
    bool open = false;
    for (size_t i = 0; i < host->peerCount; ++i) {
        const ENetPeer &peer = host->peers[i];
        if (peer.state == ENET_PEER_STATE_DISCONNECTED)
            continue;
        if (hasQueuedCommands(peer))
            return kBusyTick;
        open = true;
    }
    if (!joins.empty())
        return kJoinTick;
    return open ? kOpenTick : kIdleTick;
}

// ---------------------------------------------------------------- UdpTower

UdpTower::UdpTower(boost::asio::io_context &io, Binding binding)
    : d(std::make_shared<Core>(io))
{
    if (d->open(binding))
        boost::asio::post(d->strand, [core = d] { core->service(); });
}

UdpTower::~UdpTower()
{
    if (d->strand.running_in_this_thread())
        d->close();
    else
        boost::asio::post(d->strand, [core = d] { core->close(); });
}

bool UdpTower::isValid() const
{
    return d->valid;
}

quint16 UdpTower::localPort() const
{
    return d->port;
}

UdpTower::Strand UdpTower::strand() const
{
    return d->strand;
}

void UdpTower::setDropRateForTesting(double share)
{
    d->dropRate.store(qBound(0.0, share, 1.0), std::memory_order_relaxed);
}

void UdpTower::startJoin(const std::shared_ptr<Link> &link, const UdpRendezvousDatagram &join, quint32 serverIpv4,
                         quint16 serverPort)
{
    d->startJoin(link, join, serverIpv4, serverPort);
}

UdpTower::PeerId UdpTower::connectToPeer(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port,
                                         quint32 session)
{
    return d->connectToPeer(link, ipv4, port, session);
}

void UdpTower::expectConnect(const std::shared_ptr<Link> &link, quint32 ipv4, quint16 port, quint32 session)
{
    d->expectConnect(link, ipv4, port, session);
}

bool UdpTower::send(PeerId peer, const QByteArray &packet, std::function<void()> released)
{
    return d->send(peer, packet, std::move(released));
}

void UdpTower::release(Link *link)
{
    d->release(link);
}
