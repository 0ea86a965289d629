#include "UdpConnection.h"

#include "PSettings.h"
#include "TcpConnection.h"
#include "ServerProtocol.h"
#include "UdpRendezvousDatagram.h"
#include "UdpLinkSealing.h"
#include "UdpTower.h"
#include "WCryptography.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaMethod>

#include <boost/asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

using Clock = std::chrono::steady_clock;
using Role = UdpRendezvousDatagram::Role;

// The acceptor's first sealed frame (after its random bytes): proof that it
// opened the initiator's secret.
const QByteArray kReady = QByteArrayLiteral("ready");
// Far more than a hello with 8192-bit keys needs.
constexpr int kMaxHelloSize = 16384;

const QString kHelloSession = QStringLiteral("session");
const QString kHelloSender = QStringLiteral("sender");
const QString kHelloReceiver = QStringLiteral("receiver");
const QString kHelloKey = QStringLiteral("key");
const QString kHelloSignature = QStringLiteral("signature");

// The signed part of the initiator's first frame, always built in this order
// so both ends sign and verify the same bytes; the frame adds the signature.
KvrConfig helloSignedPart(const QByteArray &session, const QByteArray &sender, const QByteArray &receiver,
                          const QByteArray &sealedKey)
{
    KvrConfig part;
    part.SetValue(kHelloSession, session);
    part.SetValue(kHelloSender, sender);
    part.SetValue(kHelloReceiver, receiver);
    part.SetValue(kHelloKey, sealedKey);
    return part;
}

quint32 resolveIpv4(const QString &address)
{
    bool ok = false;
    const quint32 literal = QHostAddress(address).toIPv4Address(&ok);
    if (ok)
        return literal;
    for (const QHostAddress &candidate : QHostInfo::fromName(address).addresses()) {
        const quint32 ipv4 = candidate.toIPv4Address(&ok);
        if (ok)
            return ipv4;
    }
    return 0;
}

quint16 rendezvousPort()
{
    bool ok = false;
    const uint port = PSettings::GetValue(QStringLiteral("service/port")).toString().toUInt(&ok);
    return ok && port > 0 && port <= 0xffff ? quint16(port) : quint16(ServerProtocol::DefaultUdpPort);
}

} // namespace

class UdpConnection::Private : public UdpTower::Link, public std::enable_shared_from_this<Private>
{
public:
    Private(QSharedPointer<UdpTower> tower, UdpConnection *owner)
        : tower(std::move(tower))
        , owner(owner)
    {
    }

    bool connect(Role role, int session, const QString &address, const QString &own, const QString &peer,
                 const QString &peerKey, int timeoutMs);
    void disconnect();
    bool isConnected() const;
    bool push(const KvrConfig &record);
    bool hasSendRoom() const;
    bool waitForSendRoom(int timeoutMs);
    KvrConfig take(const QString &id, int timeoutMs, bool awaitedBySend);
    void expectReply(const QString &id);
    void forgetReply(const QString &id);

    // UdpTower::Link, on the strand.
    void towerJoinAnswered(bool paired, quint32 ipv4, quint16 port) override;
    void towerPeerConnected(UdpTower::PeerId peer) override;
    void towerPacketReceived(const char *data, int size) override;
    void towerPeerDisconnected() override;

    const QSharedPointer<UdpTower> tower;

    mutable std::mutex mutex;
    UdpConnection *owner; // null once the QObject is gone
    QString ownPublicKey;
    QString ownPrivateKey;
    QString peerPublicKey;
    std::chrono::milliseconds inboxMaxAge{120000};

private:
    enum class Phase { Idle, Connecting, Connected, Ended };
    // Where the link stands on the strand.
    enum class Step { Joining, AwaitingHello, AwaitingReady, Open, Closed };
    struct Arrival
    {
        KvrConfig record;
        QString id;
        Clock::time_point time;
    };

    bool prepareHello(const QString &peerKey);
    bool acceptHello(const char *data, int size);
    bool acceptReady(const char *data, int size);
    bool installSealing(const QByteArray &acceptorRandom);
    bool sealAndSend(const QByteArray &plain);
    void deliver(const KvrConfig &record);
    void becomeConnected();
    void fail();
    void closeOnStrand();
    bool stillConnecting() const;
    // With the mutex held.
    void endLocked();
    void changedLocked();
    void pruneInboxLocked(Clock::time_point now);
    void unregisterReplyLocked(const QString &id);
    void waitForChange(std::unique_lock<std::mutex> &lock, Clock::time_point deadline);

    // Set before the strand takes over; read-only afterwards.
    Role role = Role::Initiator;
    quint32 session = 0;
    QString own;
    QString peer;
    QByteArray hello;
    QByteArray initiatorSecret; // sealed to the acceptor in the hello

    // Guarded by mutex.
    Phase phase = Phase::Idle;
    bool endAnnounced = false;
    quint64 changes = 0;
    std::condition_variable changed;
    qint64 unsentBytes = 0; // sealed and not yet released by ENet
    std::deque<Arrival> inbox;
    QHash<QString, int> awaitedReplies;

    // Sealing runs on the pushing threads, opening on the strand; the lock
    // keeps counter order and posting order the same.
    std::mutex sendMutex;
    std::shared_ptr<UdpLinkSealing> sealing; // set on the strand before the link is connected

    // Strand only.
    Step step = Step::Joining;
    UdpTower::PeerId peerId = 0;
};

bool UdpConnection::Private::connect(Role linkRole, int linkSession, const QString &address,
                                     const QString &ownName, const QString &peerName, const QString &peerKey,
                                     int timeoutMs)
{
    if (linkSession < 0 || ownName.isEmpty() || peerName.isEmpty() || !tower || !tower->isValid())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (phase != Phase::Idle || ownPrivateKey.isEmpty()
            || (linkRole == Role::Acceptor && peerPublicKey.isEmpty()))
            return false;
        phase = Phase::Connecting;
    }
    role = linkRole;
    session = quint32(linkSession);
    own = ownName;
    peer = peerName;

    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(qMax(timeoutMs, 0));
    const quint32 serverIpv4 = resolveIpv4(address);
    const bool ready = serverIpv4 != 0
                       && (role == Role::Acceptor || prepareHello(peerKey));

    std::unique_lock<std::mutex> lock(mutex);
    if (ready && phase == Phase::Connecting) {
        const UdpRendezvousDatagram join = UdpRendezvousDatagram::join(session, role, own, peer);
        const quint16 port = rendezvousPort();
        boost::asio::post(tower->strand(), [self = shared_from_this(), join, serverIpv4, port] {
            if (self->stillConnecting())
                self->tower->startJoin(self, join, serverIpv4, port);
        });
        while (phase == Phase::Connecting && Clock::now() < deadline)
            waitForChange(lock, deadline);
    }
    if (phase == Phase::Connected)
        return true;
    // Failed, refused or timed out: nothing of the attempt may linger.
    if (phase == Phase::Connecting)
        phase = Phase::Ended;
    lock.unlock();
    boost::asio::post(tower->strand(), [self = shared_from_this()] { self->closeOnStrand(); });
    return false;
}

// The initiator's first frame: its secret sealed to the acceptor and signed
// together with the session and both names. The keys come when the acceptor
// adds its own random bytes.
bool UdpConnection::Private::prepareHello(const QString &peerKey)
{
    initiatorSecret = WCryptography::GenerateRandom(UdpLinkSealing::SecretSize);
    const QByteArray sealedKey = WCryptography::SealToPublicKey(peerKey, initiatorSecret);
    if (initiatorSecret.size() != UdpLinkSealing::SecretSize || sealedKey.isEmpty())
        return false;
    QString privateKey;
    {
        std::lock_guard<std::mutex> lock(mutex);
        privateKey = ownPrivateKey;
    }
    KvrConfig frame = helloSignedPart(QByteArray::number(session), own.toUtf8(), peer.toUtf8(), sealedKey);
    const QByteArray signature = WCryptography::SignMessageRSASHA(privateKey, frame.SerializeConfigBinary());
    if (signature.isEmpty())
        return false;
    frame.SetValue(kHelloSignature, signature);
    hello = frame.SerializeConfigBinary();
    return true;
}

bool UdpConnection::Private::installSealing(const QByteArray &acceptorRandom)
{
    auto made = std::make_shared<UdpLinkSealing>(initiatorSecret, acceptorRandom, role == Role::Initiator);
    initiatorSecret.clear();
    if (!made->isValid())
        return false;
    std::lock_guard<std::mutex> lock(sendMutex);
    sealing = made;
    return true;
}

bool UdpConnection::Private::stillConnecting() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return phase == Phase::Connecting;
}

void UdpConnection::Private::towerJoinAnswered(bool paired, quint32 ipv4, quint16 port)
{
    if (step != Step::Joining || !stillConnecting())
        return;
    if (!paired) {
        fail();
        return;
    }
    if (role == Role::Acceptor) {
        tower->expectConnect(shared_from_this(), ipv4, port, session);
        return;
    }
    peerId = tower->connectToPeer(shared_from_this(), ipv4, port, session);
    if (peerId == 0)
        fail();
}

void UdpConnection::Private::towerPeerConnected(UdpTower::PeerId connected)
{
    peerId = connected;
    if (step != Step::Joining || !stillConnecting()) {
        closeOnStrand();
        return;
    }
    if (role == Role::Acceptor) {
        step = Step::AwaitingHello;
        return;
    }
    step = Step::AwaitingReady;
    if (!tower->send(peerId, hello))
        fail();
}

void UdpConnection::Private::towerPacketReceived(const char *data, int size)
{
    QByteArray plain;
    switch (step) {
    case Step::AwaitingHello:
        if (acceptHello(data, size))
            becomeConnected();
        else
            fail();
        break;
    case Step::AwaitingReady:
        if (acceptReady(data, size))
            becomeConnected();
        else
            fail();
        break;
    case Step::Open: {
        KvrConfig record;
        if (sealing->open(data, size, &plain) && record.DeserializeConfigBinary(plain)) {
            deliver(record);
            break;
        }
        // A damaged or forged frame ends the link.
        closeOnStrand();
        std::lock_guard<std::mutex> lock(mutex);
        endLocked();
        break;
    }
    case Step::Joining:
    case Step::Closed:
        break;
    }
}

void UdpConnection::Private::towerPeerDisconnected()
{
    peerId = 0;
    step = Step::Closed;
    std::lock_guard<std::mutex> lock(mutex);
    endLocked();
}

bool UdpConnection::Private::acceptHello(const char *data, int size)
{
    KvrConfig record;
    if (size > kMaxHelloSize || !record.DeserializeConfigBinary(QByteArray(data, size)))
        return false;
    const QByteArray sessionText = record.GetValue(kHelloSession);
    const QByteArray sender = record.GetValue(kHelloSender);
    const QByteArray receiver = record.GetValue(kHelloReceiver);
    const QByteArray sealedKey = record.GetValue(kHelloKey);
    // Names match as the server matches them: without regard to case.
    if (sessionText != QByteArray::number(session)
        || QString::fromUtf8(sender).compare(peer, Qt::CaseInsensitive) != 0
        || QString::fromUtf8(receiver).compare(own, Qt::CaseInsensitive) != 0)
        return false;
    QString privateKey;
    QString senderKey;
    {
        std::lock_guard<std::mutex> lock(mutex);
        privateKey = ownPrivateKey;
        senderKey = peerPublicKey;
    }
    if (!WCryptography::VerifyMessageRSASHA(senderKey, record.GetValue(kHelloSignature),
                                            helloSignedPart(sessionText, sender, receiver, sealedKey)
                                                .SerializeConfigBinary()))
        return false;
    initiatorSecret = WCryptography::OpenWithPrivateKey(privateKey, sealedKey);
    // Fresh bytes of this end: a replayed hello never meets the old keys.
    const QByteArray acceptorRandom = WCryptography::GenerateRandom(UdpLinkSealing::AcceptorRandomSize);
    if (!installSealing(acceptorRandom))
        return false;
    QByteArray ready;
    {
        std::lock_guard<std::mutex> lock(sendMutex);
        ready = sealing->seal(kReady);
    }
    if (ready.isEmpty())
        return false;
    boost::asio::post(tower->strand(), [self = shared_from_this(), packet = acceptorRandom + ready] {
        self->tower->send(self->peerId, packet);
    });
    return true;
}

// The acceptor's random bytes, then its sealed ready frame.
bool UdpConnection::Private::acceptReady(const char *data, int size)
{
    QByteArray plain;
    return size > UdpLinkSealing::AcceptorRandomSize
           && installSealing(QByteArray(data, UdpLinkSealing::AcceptorRandomSize))
           && sealing->open(data + UdpLinkSealing::AcceptorRandomSize, size - UdpLinkSealing::AcceptorRandomSize,
                            &plain)
           && plain == kReady;
}

bool UdpConnection::Private::sealAndSend(const QByteArray &plain)
{
    std::lock_guard<std::mutex> lock(sendMutex);
    const QByteArray frame = sealing ? sealing->seal(plain) : QByteArray();
    if (frame.isEmpty())
        return false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        unsentBytes += frame.size();
    }
    std::weak_ptr<Private> weak = shared_from_this();
    const qint64 frameBytes = frame.size();
    const auto released = [weak, frameBytes] {
        const auto self = weak.lock();
        if (!self)
            return;
        std::lock_guard<std::mutex> lock(self->mutex);
        const bool wasFull = self->unsentBytes >= TcpConnection::SendBacklogCap;
        self->unsentBytes -= frameBytes;
        if (wasFull && self->unsentBytes < TcpConnection::SendBacklogCap)
            self->changedLocked(); // wakes senders waiting for room
    };
    boost::asio::post(tower->strand(), [self = shared_from_this(), frame, released] {
        self->tower->send(self->peerId, frame, released);
    });
    return true;
}

void UdpConnection::Private::becomeConnected()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (phase != Phase::Connecting) {
        // The caller gave up meanwhile and has already posted the close.
        step = Step::Closed;
        return;
    }
    step = Step::Open;
    phase = Phase::Connected;
    changedLocked();
}

void UdpConnection::Private::fail()
{
    closeOnStrand();
    std::lock_guard<std::mutex> lock(mutex);
    if (phase == Phase::Connecting)
        phase = Phase::Ended;
    changedLocked();
}

void UdpConnection::Private::closeOnStrand()
{
    step = Step::Closed;
    peerId = 0;
    tower->release(this);
}

void UdpConnection::Private::deliver(const KvrConfig &record)
{
    const QString id = record.GetID();
    const QString command = record.gv(QStringLiteral("command"));
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    pruneInboxLocked(now);
    inbox.push_back(Arrival{record, id, now});
    if (owner && !awaitedReplies.contains(id)) {
        // Emitted on the owner's thread. Queued through the meta-object, not
        // as a lambda, so that only Qt's own copies cross threads: thread
        // checkers cannot see Qt's hand-over and ignore only Qt's side of it.
        QMetaMethod::fromSignal(&UdpConnection::signalCommandReceived)
            .invoke(owner, Qt::QueuedConnection, Q_ARG(QString, id), Q_ARG(QString, command));
    }
    changedLocked();
}

void UdpConnection::Private::endLocked()
{
    if (phase == Phase::Connected && !endAnnounced) {
        endAnnounced = true;
        if (owner)
            QMetaMethod::fromSignal(&UdpConnection::signalConnectionEnded).invoke(owner, Qt::QueuedConnection);
    }
    if (phase != Phase::Idle)
        phase = Phase::Ended;
    changedLocked();
}

void UdpConnection::Private::changedLocked()
{
    ++changes;
    changed.notify_all();
}

void UdpConnection::Private::disconnect()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (phase == Phase::Idle || phase == Phase::Ended)
            return;
        endLocked();
    }
    boost::asio::post(tower->strand(), [self = shared_from_this()] { self->closeOnStrand(); });
}

bool UdpConnection::Private::isConnected() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return phase == Phase::Connected;
}

bool UdpConnection::Private::push(const KvrConfig &record)
{
    if (!isConnected())
        return false;
    const QByteArray bytes = record.SerializeConfigBinary();
    if (bytes.size() > MaxRecordSize)
        return false;
    bool overflow = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        overflow = unsentBytes + bytes.size() > TcpConnection::SendBacklogCap + MaxRecordSize;
    }
    if (overflow) {
        // A sender that ignored the cap: a record left out would leave a
        // hole in the stream, one more queued would leave memory unbounded.
        disconnect();
        return false;
    }
    return sealAndSend(bytes);
}

bool UdpConnection::Private::hasSendRoom() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return unsentBytes < TcpConnection::SendBacklogCap;
}

bool UdpConnection::Private::waitForSendRoom(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(qMax(timeoutMs, 0));
    // On the strand a wait would hold up the very acknowledgements it waits for.
    const bool mayWait = !tower->strand().running_in_this_thread();
    while (mayWait && phase == Phase::Connected && unsentBytes >= TcpConnection::SendBacklogCap
           && Clock::now() < deadline)
        waitForChange(lock, deadline);
    return phase == Phase::Connected && unsentBytes < TcpConnection::SendBacklogCap;
}

void UdpConnection::Private::expectReply(const QString &id)
{
    std::lock_guard<std::mutex> lock(mutex);
    ++awaitedReplies[id];
}

void UdpConnection::Private::forgetReply(const QString &id)
{
    std::lock_guard<std::mutex> lock(mutex);
    unregisterReplyLocked(id);
}

KvrConfig UdpConnection::Private::take(const QString &id, int timeoutMs, bool awaitedBySend)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(qMax(timeoutMs, 0));
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        pruneInboxLocked(Clock::now());
        for (auto it = inbox.begin(); it != inbox.end(); ++it) {
            if (it->id == id) {
                KvrConfig record = std::move(it->record);
                inbox.erase(it);
                if (awaitedBySend)
                    unregisterReplyLocked(id);
                return record;
            }
        }
        // Nothing more can arrive on a link that is not (or no longer) up.
        if ((phase != Phase::Connecting && phase != Phase::Connected) || Clock::now() >= deadline)
            break;
        waitForChange(lock, deadline);
    }
    if (awaitedBySend)
        unregisterReplyLocked(id);
    return KvrConfig();
}

void UdpConnection::Private::unregisterReplyLocked(const QString &id)
{
    const auto it = awaitedReplies.find(id);
    if (it != awaitedReplies.end() && --it.value() <= 0)
        awaitedReplies.erase(it);
}

void UdpConnection::Private::pruneInboxLocked(Clock::time_point now)
{
    while (!inbox.empty() && now - inbox.front().time > inboxMaxAge)
        inbox.pop_front();
}

// Blocks until something changed or the deadline passed. On a thread with an
// event dispatcher its events keep flowing in short slices; a change that
// happens meanwhile is not missed, as the change count tells.
void UdpConnection::Private::waitForChange(std::unique_lock<std::mutex> &lock, Clock::time_point deadline)
{
    const quint64 seen = changes;
    Clock::time_point until = deadline;
    if (QCoreApplication::instance() && QAbstractEventDispatcher::instance()) {
        lock.unlock();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        lock.lock();
        until = qMin(deadline, Clock::now() + std::chrono::milliseconds(5));
    }
    changed.wait_until(lock, until, [&] { return changes != seen; });
}

// ---------------------------------------------------------------- UdpConnection

UdpConnection::UdpConnection(QSharedPointer<UdpTower> tower, QObject *parent)
    : QObject(parent)
    , d(std::make_shared<Private>(std::move(tower), this))
{
}

UdpConnection::~UdpConnection()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->owner = nullptr;
    }
    d->disconnect();
}

void UdpConnection::setKeyPair(const QString &publicKey, const QString &privateKey)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->ownPublicKey = publicKey;
    d->ownPrivateKey = privateKey;
}

void UdpConnection::setPeerPublicKey(const QString &publicKey)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->peerPublicKey = publicKey;
}

bool UdpConnection::connectToHost(int session, const QString &address, const QString &own, const QString &peer,
                                  const QString &peerKey, int timeoutMs)
{
    if (peerKey.isEmpty())
        return false;
    const std::shared_ptr<Private> link = d; // the wait may re-enter and delete this object
    return link->connect(Role::Initiator, session, address, own, peer, peerKey, timeoutMs);
}

bool UdpConnection::connectToHost(int session, const QString &address, const QString &own, const QString &peer,
                                  int timeoutMs)
{
    const std::shared_ptr<Private> link = d;
    return link->connect(Role::Acceptor, session, address, own, peer, QString(), timeoutMs);
}

void UdpConnection::disconnectFromHost()
{
    d->disconnect();
}

bool UdpConnection::isConnected() const
{
    return d->isConnected();
}

bool UdpConnection::pushCommand(const KvrConfig &record)
{
    return d->push(record);
}

bool UdpConnection::hasSendRoom() const
{
    return d->hasSendRoom();
}

bool UdpConnection::waitForSendRoom(int timeoutMs)
{
    const std::shared_ptr<Private> link = d;
    return link->waitForSendRoom(timeoutMs);
}

KvrConfig UdpConnection::getCommand(const QString &id, int timeoutMs)
{
    const std::shared_ptr<Private> link = d;
    return link->take(id, timeoutMs, false);
}

KvrConfig UdpConnection::sendCommand(const KvrConfig &record, int timeoutMs)
{
    const QString id = record.GetID();
    if (id.isEmpty())
        return KvrConfig();
    const std::shared_ptr<Private> link = d;
    // Registered before sending, so the reply can never be announced instead.
    link->expectReply(id);
    if (!link->push(record)) {
        link->forgetReply(id);
        return KvrConfig();
    }
    return link->take(id, timeoutMs, true);
}

void UdpConnection::setInboxMaxAge(int ms)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->inboxMaxAge = std::chrono::milliseconds(qMax(ms, 0));
}
