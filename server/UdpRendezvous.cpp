#include "UdpRendezvous.h"

#include "UdpRendezvousDatagram.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <map>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;
using Role = UdpRendezvousDatagram::Role;
using Endpoint = UdpRendezvous::Endpoint;

// Source addresses tracked for the join limit at any time.
constexpr std::size_t kMaxSources = 65536;
// A source whose bucket is full again is forgotten after this idle time.
constexpr std::chrono::seconds kSourceIdleLifetime{10};
constexpr std::chrono::seconds kSweepInterval{1};

bool sameUser(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Links are IPv4 only; a v4-mapped address of a dual-stack socket counts as IPv4.
bool ipv4Of(const Endpoint &endpoint, quint32 *ipv4)
{
    boost::asio::ip::address address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
    if (!address.is_v4())
        return false;
    *ipv4 = address.to_v4().to_uint();
    return true;
}

} // namespace

class UdpRendezvous::Core : public std::enable_shared_from_this<Core>
{
public:
    Core(boost::asio::io_context &io, InitiatorCheck check)
        : strand(boost::asio::make_strand(io))
        , check(std::move(check))
        , socket(strand)
    {
    }

    bool listen(const QString &host, quint16 port);
    void close();

    const boost::asio::strand<boost::asio::io_context::executor_type> strand;
    std::atomic<quint16> boundPort{0};
    // Cleared by the owner's destructor, which waits for a running call.
    std::mutex checkMutex;
    InitiatorCheck check;

private:
    struct Session
    {
        QString initiator;
        QString acceptor;
        Endpoint initiatorAt;
        Endpoint acceptorAt;
        bool paired = false;
        Clock::time_point joined;
    };
    struct Bucket
    {
        double tokens;
        Clock::time_point last;
    };

    void receive();
    void handle(int size, const Endpoint &from);
    void initiatorJoined(const UdpRendezvousDatagram &join, const Endpoint &from, Clock::time_point now);
    void acceptorJoined(const UdpRendezvousDatagram &join, const Endpoint &from);
    bool askInitiatorCheck(const UdpRendezvousDatagram &join, const Endpoint &from);
    bool takeJoinToken(const boost::asio::ip::address &source, Clock::time_point now);
    void sweep(Clock::time_point now);
    void answer(const UdpRendezvousDatagram &datagram, const Endpoint &to);
    void answerPaired(quint32 session, Role role, const Endpoint &to, const Endpoint &other);

    boost::asio::ip::udp::socket socket;
    // One byte more than the largest datagram, so a longer one shows as such.
    std::array<char, UdpRendezvousDatagram::MaxSize + 1> buffer;
    Endpoint sender;
    std::map<quint32, Session> sessions;
    std::map<boost::asio::ip::address, Bucket> buckets;
    Clock::time_point lastSweep;
};

bool UdpRendezvous::Core::listen(const QString &host, quint16 port)
{
    boost::system::error_code error;
    const boost::asio::ip::address address = boost::asio::ip::make_address(host.toStdString(), error);
    if (error || socket.is_open())
        return false;
    socket.open(address.is_v4() ? boost::asio::ip::udp::v4() : boost::asio::ip::udp::v6(), error);
    if (!error)
        socket.bind(Endpoint(address, port), error);
    const Endpoint local = error ? Endpoint() : socket.local_endpoint(error);
    if (error) {
        boost::system::error_code ignored;
        socket.close(ignored);
        return false;
    }
    boundPort = local.port();
    boost::asio::post(strand, [self = shared_from_this()] { self->receive(); });
    return true;
}

void UdpRendezvous::Core::close()
{
    boost::system::error_code ignored;
    socket.close(ignored);
}

void UdpRendezvous::Core::receive()
{
    socket.async_receive_from(boost::asio::buffer(buffer), sender,
                              [self = shared_from_this()](const boost::system::error_code &error,
                                                          std::size_t size) {
                                  if (error == boost::asio::error::operation_aborted || !self->socket.is_open())
                                      return;
                                  if (!error)
                                      self->handle(int(size), self->sender);
                                  self->receive();
                              });
}

void UdpRendezvous::Core::handle(int size, const Endpoint &from)
{
    const Clock::time_point now = Clock::now();
    sweep(now);
    // Every datagram costs its source a token, well-formed or not.
    if (size > UdpRendezvousDatagram::MaxSize || !takeJoinToken(from.address(), now))
        return;
    UdpRendezvousDatagram join;
    if (!UdpRendezvousDatagram::decode(buffer.data(), size, &join) || join.type != UdpRendezvousDatagram::Type::Join
        || join.session > quint32(INT_MAX))
        return;
    if (join.role == Role::Initiator)
        initiatorJoined(join, from, now);
    else
        acceptorJoined(join, from);
}

void UdpRendezvous::Core::initiatorJoined(const UdpRendezvousDatagram &join, const Endpoint &from,
                                          Clock::time_point now)
{
    const auto it = sessions.find(join.session);
    if (it != sessions.end()) {
        const Session &session = it->second;
        if (!sameUser(session.initiator, join.own) || !sameUser(session.acceptor, join.peer)
            || session.initiatorAt != from) {
            answer(UdpRendezvousDatagram::refused(join.session, Role::Initiator), from);
            return;
        }
        // A resend: the acceptor has not joined yet, or our answer was lost.
        if (session.paired)
            answerPaired(join.session, Role::Initiator, from, session.acceptorAt);
        return;
    }
    if (sessions.size() >= std::size_t(MaxSessions) || !askInitiatorCheck(join, from)) {
        answer(UdpRendezvousDatagram::refused(join.session, Role::Initiator), from);
        return;
    }
    Session session;
    session.initiator = join.own;
    session.acceptor = join.peer;
    session.initiatorAt = from;
    session.joined = now;
    sessions.emplace(join.session, session);
}

void UdpRendezvous::Core::acceptorJoined(const UdpRendezvousDatagram &join, const Endpoint &from)
{
    const auto it = sessions.find(join.session);
    if (it == sessions.end() || !sameUser(it->second.initiator, join.peer)
        || !sameUser(it->second.acceptor, join.own) || (it->second.paired && it->second.acceptorAt != from)) {
        answer(UdpRendezvousDatagram::refused(join.session, Role::Acceptor), from);
        return;
    }
    Session &session = it->second;
    if (!session.paired) {
        session.paired = true;
        session.acceptorAt = from;
        answerPaired(join.session, Role::Initiator, session.initiatorAt, from);
    }
    answerPaired(join.session, Role::Acceptor, from, session.initiatorAt);
}

bool UdpRendezvous::Core::askInitiatorCheck(const UdpRendezvousDatagram &join, const Endpoint &from)
{
    std::lock_guard<std::mutex> lock(checkMutex);
    if (!check)
        return false;
    try {
        return check(int(join.session), join.own, join.peer, from);
    } catch (...) {
        return false;
    }
}

bool UdpRendezvous::Core::takeJoinToken(const boost::asio::ip::address &source, Clock::time_point now)
{
    auto it = buckets.find(source);
    if (it == buckets.end()) {
        if (buckets.size() >= kMaxSources)
            return false;
        it = buckets.emplace(source, Bucket{double(JoinBurst), now}).first;
    }
    Bucket &bucket = it->second;
    const double seconds = std::chrono::duration<double>(now - bucket.last).count();
    bucket.tokens = std::min(double(JoinBurst), bucket.tokens + seconds * JoinsPerSecond);
    bucket.last = now;
    if (bucket.tokens < 1)
        return false;
    bucket.tokens -= 1;
    return true;
}

void UdpRendezvous::Core::sweep(Clock::time_point now)
{
    if (now - lastSweep < kSweepInterval)
        return;
    lastSweep = now;
    const auto lifetime = std::chrono::milliseconds(SessionLifetimeMs);
    for (auto it = sessions.begin(); it != sessions.end();)
        it = now - it->second.joined >= lifetime ? sessions.erase(it) : std::next(it);
    for (auto it = buckets.begin(); it != buckets.end();)
        it = now - it->second.last >= kSourceIdleLifetime ? buckets.erase(it) : std::next(it);
}

void UdpRendezvous::Core::answer(const UdpRendezvousDatagram &datagram, const Endpoint &to)
{
    const QByteArray bytes = datagram.encode();
    boost::system::error_code ignored;
    socket.send_to(boost::asio::buffer(bytes.constData(), std::size_t(bytes.size())), to, 0, ignored);
}

void UdpRendezvous::Core::answerPaired(quint32 session, Role role, const Endpoint &to, const Endpoint &other)
{
    quint32 ipv4 = 0;
    if (ipv4Of(other, &ipv4))
        answer(UdpRendezvousDatagram::paired(session, role, ipv4, other.port()), to);
    else
        answer(UdpRendezvousDatagram::refused(session, role), to);
}

// ---------------------------------------------------------------- UdpRendezvous

UdpRendezvous::UdpRendezvous(boost::asio::io_context &io, InitiatorCheck onInitiatorJoin)
    : d(std::make_shared<Core>(io, std::move(onInitiatorJoin)))
{
}

UdpRendezvous::~UdpRendezvous()
{
    {
        std::lock_guard<std::mutex> lock(d->checkMutex);
        d->check = nullptr;
    }
    boost::asio::post(d->strand, [core = d] { core->close(); });
}

bool UdpRendezvous::listen(const QString &host, quint16 port)
{
    return d->listen(host, port);
}

quint16 UdpRendezvous::port() const
{
    return d->boundPort;
}
