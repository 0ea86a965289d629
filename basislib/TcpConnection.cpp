#include "TcpConnection.h"

#include "IoService.h"
#include "PendingLinkBudget.h"
#include "SecureTcpStream.h"

#include <QEventLoop>
#include <QHash>
#include <QThread>
#include <QTimer>

#include <boost/asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDefaultInboxMaxAgeMs = 120 * 1000;
const QString kCommandKey = QStringLiteral("command");
// Values from this size are sealed from the record itself, not copied into
// its binary form first.
constexpr int kSharedValueBytes = 64 * 1024;

// The far side's address of an accepted socket, as the budget counts it.
QString peerAddressOf(qintptr descriptor)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getpeername(int(descriptor), reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QString();
    char text[INET6_ADDRSTRLEN] = {};
    const void *raw = address.ss_family == AF_INET6
                          ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr)
                          : static_cast<const void *>(&reinterpret_cast<const sockaddr_in &>(address).sin_addr);
    return ::inet_ntop(address.ss_family, raw, text, sizeof text) ? QString::fromLatin1(text) : QString();
}

} // namespace

// The link's state, shared with the I/O callbacks so that they never touch a
// destroyed TcpConnection: they hold this through weak pointers, and the
// connection object is reached only through `q` under `emitMutex`.
class TcpConnection::Private : public std::enable_shared_from_this<Private>
{
public:
    // A thread blocked in connectToHost (awaiting the handshake) or in
    // getCommand/sendCommand (awaiting a record with `id`).
    struct Waiter
    {
        enum class Kind { Link, Record };
        Waiter(Kind kind, const QString &id) : kind(kind), id(id) {}
        Kind kind;
        QString id;
        bool done = false;
        bool ok = false;
        KvrConfig record;
        std::condition_variable wakeUp;
        QEventLoop *loop = nullptr; // set while the waiter keeps its thread's events flowing
    };

    struct InboxEntry
    {
        QString id;
        KvrConfig record;
        Clock::time_point arrived;
    };

    std::shared_ptr<SecureTcpStream> startStreamLocked();
    void onSecured(quint64 generation);
    bool onFrame(quint64 generation, const QByteArray &plain);
    void onEnded(quint64 generation);
    void onSendRoom(quint64 generation);
    std::shared_ptr<SecureTcpStream> currentStream() const;

    void disconnect();
    bool detachLocked();
    bool waitLocked(std::unique_lock<std::mutex> &lock, Waiter &waiter, int timeoutMs);
    static void wakeLocked(Waiter &waiter, bool ok);
    void wakeAllLocked();
    bool takeLocked(const QString &id, KvrConfig *record);
    void purgeExpiredLocked();
    void noteInboxLocked();

    void emitCommandReceived(const QString &id, const QString &command);
    void emitConnectionEnded();

    mutable std::mutex mutex;
    std::shared_ptr<SecureTcpStream> stream;
    // Each stream's events carry its generation: a stream that was replaced
    // or abandoned can no longer reach the inbox or the signals.
    quint64 generation = 0;
    bool linkUp = false; // owes one signalConnectionEnded()
    bool secured = false;
    bool arrivalsWaiting = false; // as the current stream was last told
    QString privateKey;
    std::shared_ptr<PendingLinkBudget> pendingBudget;
    bool admitted = false;
    QString provenName;

    // Arrival order by serial number; ids map to their records' serials in
    // arrival order.
    std::map<quint64, InboxEntry> inbox;
    QHash<QString, std::deque<quint64>> inboxById;
    quint64 nextSerial = 0;
    int inboxMaxAgeMs = kDefaultInboxMaxAgeMs;
    std::list<Waiter *> waiters;

    std::recursive_mutex emitMutex;
    TcpConnection *q = nullptr;
};

std::shared_ptr<SecureTcpStream> TcpConnection::Private::startStreamLocked()
{
    const quint64 ownGeneration = ++generation;
    admitted = false;
    provenName.clear();
    std::weak_ptr<Private> weak = shared_from_this();
    SecureTcpStream::Events events;
    events.secured = [weak, ownGeneration] {
        if (auto d = weak.lock())
            d->onSecured(ownGeneration);
    };
    events.frame = [weak, ownGeneration](const QByteArray &plain) {
        auto d = weak.lock();
        return d && d->onFrame(ownGeneration, plain);
    };
    events.ended = [weak, ownGeneration] {
        if (auto d = weak.lock())
            d->onEnded(ownGeneration);
    };
    events.room = [weak, ownGeneration] {
        if (auto d = weak.lock())
            d->onSendRoom(ownGeneration);
    };
    SecureTcpStream::SendLimits limits;
    limits.backlogCap = SendBacklogCap;
    limits.drainTimeLimitMs = drainTimeLimitMs();
    stream = std::make_shared<SecureTcpStream>(IoService::instance().context(), MaxFrameSize, limits,
                                               std::move(events));
    arrivalsWaiting = false;
    noteInboxLocked();
    return stream;
}

void TcpConnection::Private::onSecured(quint64 ownGeneration)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (ownGeneration != generation || !stream)
        return;
    secured = true;
    linkUp = true;
    for (Waiter *waiter : waiters)
        if (waiter->kind == Waiter::Kind::Link && !waiter->done)
            wakeLocked(*waiter, true);
}

bool TcpConnection::Private::onFrame(quint64 ownGeneration, const QByteArray &plain)
{
    KvrConfig record;
    if (!record.DeserializeConfigBinary(plain))
        return false;
    const QString id = record.GetID();
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A replaced link may still be finishing: what it brings is dropped.
        if (ownGeneration != generation || !stream)
            return true;
        // A record somebody is already waiting for goes to that waiter only:
        // announcing it would send others looking for a record that is gone.
        for (Waiter *waiter : waiters) {
            if (waiter->kind == Waiter::Kind::Record && !waiter->done && waiter->id == id) {
                waiter->record = std::move(record);
                wakeLocked(*waiter, true);
                return true;
            }
        }
        purgeExpiredLocked();
        const quint64 serial = nextSerial++;
        inboxById[id].push_back(serial);
        inbox.emplace(serial, InboxEntry{id, record, Clock::now()});
        noteInboxLocked();
    }
    emitCommandReceived(id, record.gv(kCommandKey));
    return true;
}

void TcpConnection::Private::onEnded(quint64 ownGeneration)
{
    bool owed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (ownGeneration != generation || !stream)
            return;
        owed = detachLocked();
    }
    if (owed)
        emitConnectionEnded();
}

void TcpConnection::Private::onSendRoom(quint64 ownGeneration)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (ownGeneration != generation || !stream)
            return;
    }
    std::lock_guard<std::recursive_mutex> lock(emitMutex);
    if (q)
        emit q->signalSendRoom();
}

std::shared_ptr<SecureTcpStream> TcpConnection::Private::currentStream() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return stream;
}

void TcpConnection::Private::disconnect()
{
    std::shared_ptr<SecureTcpStream> closing;
    bool owed = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = stream;
        owed = detachLocked();
    }
    if (closing)
        closing->close();
    // Announced from the I/O thread like every other event of the link, so a
    // slot that disconnects is not re-entered from inside its own call.
    if (owed)
        boost::asio::post(IoService::instance().context(), [self = shared_from_this()] { self->emitConnectionEnded(); });
}

// Lets go of the current stream (its later events are ignored) and releases
// every waiter. True when the link's end is still owed to its listeners.
bool TcpConnection::Private::detachLocked()
{
    stream.reset();
    ++generation;
    const bool owed = linkUp;
    linkUp = false;
    secured = false;
    wakeAllLocked();
    return owed;
}

bool TcpConnection::Private::waitLocked(std::unique_lock<std::mutex> &lock, Waiter &waiter, int timeoutMs)
{
    // A wait on the I/O thread would hold up the very record it waits for.
    if (IoService::instance().isIoThread())
        return waiter.done;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(qMax(timeoutMs, 0));
    const bool keepEventsFlowing = QThread::currentThread()->loopLevel() > 0;
    while (!waiter.done) {
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            break;
        if (!keepEventsFlowing) {
            waiter.wakeUp.wait_until(lock, deadline);
            continue;
        }
        // A local loop that the waker quits with a queued call: the thread's
        // events keep flowing (callers may be re-entered) and the wait still
        // ends the moment the record arrives.
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        waiter.loop = &loop;
        lock.unlock();
        timer.start(int(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count()));
        loop.exec();
        lock.lock();
        waiter.loop = nullptr;
    }
    return waiter.done;
}

void TcpConnection::Private::wakeLocked(Waiter &waiter, bool ok)
{
    waiter.done = true;
    waiter.ok = ok;
    waiter.wakeUp.notify_one();
    if (waiter.loop)
        QMetaObject::invokeMethod(waiter.loop, "quit", Qt::QueuedConnection);
}

void TcpConnection::Private::wakeAllLocked()
{
    for (Waiter *waiter : waiters)
        if (!waiter->done)
            wakeLocked(*waiter, false);
}

bool TcpConnection::Private::takeLocked(const QString &id, KvrConfig *record)
{
    purgeExpiredLocked();
    const auto byId = inboxById.find(id);
    if (byId == inboxById.end())
        return false;
    const auto entry = inbox.find(byId->front());
    *record = std::move(entry->second.record);
    inbox.erase(entry);
    byId->pop_front();
    if (byId->empty())
        inboxById.erase(byId);
    noteInboxLocked();
    return true;
}

// The stream reads on while its sends are held up only as long as this side
// takes what arrives.
void TcpConnection::Private::noteInboxLocked()
{
    const bool waiting = !inbox.empty();
    if (waiting != arrivalsWaiting && stream) {
        arrivalsWaiting = waiting;
        stream->setArrivalsWaiting(waiting);
    }
}

void TcpConnection::Private::purgeExpiredLocked()
{
    const Clock::time_point oldest = Clock::now() - std::chrono::milliseconds(inboxMaxAgeMs);
    while (!inbox.empty() && inbox.begin()->second.arrived < oldest) {
        // Records of one id arrive in serial order, so the oldest is in front.
        const auto byId = inboxById.find(inbox.begin()->second.id);
        byId->pop_front();
        if (byId->empty())
            inboxById.erase(byId);
        inbox.erase(inbox.begin());
    }
    noteInboxLocked();
}

void TcpConnection::Private::emitCommandReceived(const QString &id, const QString &command)
{
    std::lock_guard<std::recursive_mutex> lock(emitMutex);
    if (q)
        emit q->signalCommandReceived(id, command);
}

void TcpConnection::Private::emitConnectionEnded()
{
    std::lock_guard<std::recursive_mutex> lock(emitMutex);
    if (q)
        emit q->signalConnectionEnded();
}

TcpConnection::TcpConnection(QObject *parent)
    : QObject(parent)
    , d(std::make_shared<Private>())
{
    d->q = this;
}

TcpConnection::~TcpConnection()
{
    {
        // Waits for an announcement under way on the I/O thread.
        std::lock_guard<std::recursive_mutex> lock(d->emitMutex);
        d->q = nullptr;
    }
    d->disconnect();
}

bool TcpConnection::connectToHost(const QString &address, const QString &port, const QString &publicKey,
                                  int timeoutMs)
{
    const std::shared_ptr<Private> self = d;
    // A new connection replaces the link this object had.
    self->disconnect();
    bool portOk = false;
    const quint16 portNumber = port.trimmed().toUShort(&portOk);
    if (!portOk || portNumber == 0 || address.trimmed().isEmpty() || publicKey.isEmpty()
        || IoService::instance().isIoThread())
        return false;

    std::unique_lock<std::mutex> lock(self->mutex);
    const std::shared_ptr<SecureTcpStream> stream = self->startStreamLocked();
    Private::Waiter waiter(Private::Waiter::Kind::Link, QString());
    self->waiters.push_back(&waiter);
    lock.unlock();
    stream->connectToHost(address.trimmed(), portNumber, publicKey, timeoutMs);
    lock.lock();
    self->waitLocked(lock, waiter, timeoutMs);
    self->waiters.remove(&waiter);
    if (waiter.done && waiter.ok)
        return true;
    if (self->stream == stream)
        self->detachLocked();
    lock.unlock();
    stream->close();
    return false;
}

void TcpConnection::setKeyPair(const QString &publicKey, const QString &privateKey)
{
    Q_UNUSED(publicKey) // the accepting side only needs its private key
    std::lock_guard<std::mutex> lock(d->mutex);
    d->privateKey = privateKey;
}

bool TcpConnection::setSocketDesctiptor(qintptr descriptor)
{
    const std::shared_ptr<Private> self = d;
    self->disconnect();
    std::unique_lock<std::mutex> lock(self->mutex);
    const QString privateKey = self->privateKey;
    if (privateKey.isEmpty()) {
        // Taken over all the same: nobody else will close it.
        if (descriptor >= 0)
            ::close(int(descriptor));
        return false;
    }
    const std::shared_ptr<SecureTcpStream> stream = self->startStreamLocked();
    SecureTcpStream::Admission admission;
    if (const std::shared_ptr<PendingLinkBudget> budget = self->pendingBudget) {
        std::weak_ptr<SecureTcpStream> evicted = stream;
        admission.place = budget->reserve(peerAddressOf(descriptor), [evicted] {
            if (const std::shared_ptr<SecureTcpStream> stream = evicted.lock())
                stream->drop();
        });
        if (!admission.place) {
            self->detachLocked(); // nothing was started: no end is owed
            ::close(int(descriptor));
            return false;
        }
        admission.frameLimit = budget->limits().frameLimit;
        admission.timeLimitMs = budget->limits().timeLimitMs;
    }
    // The accepted socket is a link from here on: if the handshake fails,
    // its end is announced like any other.
    self->linkUp = true;
    lock.unlock();
    if (stream->adopt(descriptor, privateKey, DefaultConnectTimeoutMs, std::move(admission)))
        return true;
    lock.lock();
    if (self->stream == stream)
        self->detachLocked(); // nothing was started: no end is owed
    return false;
}

void TcpConnection::setPendingBudget(const std::shared_ptr<PendingLinkBudget> &budget)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->pendingBudget = budget;
}

void TcpConnection::admit()
{
    std::unique_lock<std::mutex> lock(d->mutex);
    const std::shared_ptr<SecureTcpStream> stream = d->stream;
    d->admitted = true;
    lock.unlock();
    if (stream)
        stream->admit();
}

bool TcpConnection::holdAsProven(const QString &name)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    const std::shared_ptr<SecureTcpStream> stream = d->stream;
    const std::shared_ptr<PendingLinkBudget> budget = d->pendingBudget;
    if (!stream || !budget || d->admitted)
        return true;
    // A link proves one name.
    if (!d->provenName.isEmpty())
        return d->provenName == name;
    std::shared_ptr<void> place = budget->reserveProven(name);
    if (!place)
        return false;
    d->provenName = name;
    lock.unlock();
    stream->holdAsProven(budget->limits().provenFrameLimit, budget->limits().provenTimeLimitMs, std::move(place));
    return true;
}

void TcpConnection::disconnectFromHost()
{
    d->disconnect();
}

bool TcpConnection::isConnected() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->secured;
}

QString TcpConnection::peerAddress() const
{
    const std::shared_ptr<SecureTcpStream> stream = d->currentStream();
    return stream ? stream->peerAddress() : QString();
}

quint16 TcpConnection::peerPort() const
{
    const std::shared_ptr<SecureTcpStream> stream = d->currentStream();
    return stream ? stream->peerPort() : 0;
}

bool TcpConnection::pushCommand(const KvrConfig &record)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    const std::shared_ptr<SecureTcpStream> stream = d->stream;
    const bool secured = d->secured;
    lock.unlock();
    return stream && secured && stream->send(record.SerializeConfigBinaryPieces(kSharedValueBytes));
}

bool TcpConnection::hasSendRoom() const
{
    const std::shared_ptr<SecureTcpStream> stream = d->currentStream();
    return !stream || stream->hasRoom();
}

bool TcpConnection::waitForSendRoom(int timeoutMs)
{
    const std::shared_ptr<SecureTcpStream> stream = d->currentStream();
    return stream && stream->waitForRoom(timeoutMs);
}

void TcpConnection::holdReading(bool held)
{
    if (const std::shared_ptr<SecureTcpStream> stream = d->currentStream())
        stream->holdReading(held);
}

int TcpConnection::drainTimeLimitMs()
{
    bool ok = false;
    const int fromEnvironment = qEnvironmentVariableIntValue("WIVORA_SEND_DRAIN_TIME_LIMIT_MS", &ok);
    return ok && fromEnvironment > 0 ? fromEnvironment : DefaultDrainTimeLimitMs;
}

KvrConfig TcpConnection::getCommand(const QString &id, int timeoutMs)
{
    const std::shared_ptr<Private> self = d;
    std::unique_lock<std::mutex> lock(self->mutex);
    KvrConfig record;
    // A record that came before the link ended can still be taken.
    if (self->takeLocked(id, &record) || !self->stream || timeoutMs <= 0)
        return record;
    Private::Waiter waiter(Private::Waiter::Kind::Record, id);
    self->waiters.push_back(&waiter);
    self->waitLocked(lock, waiter, timeoutMs);
    self->waiters.remove(&waiter);
    return waiter.ok ? waiter.record : KvrConfig();
}

KvrConfig TcpConnection::sendCommand(const KvrConfig &record, int timeoutMs)
{
    const std::shared_ptr<Private> self = d;
    const QVector<QByteArray> pieces = record.SerializeConfigBinaryPieces(kSharedValueBytes);
    std::unique_lock<std::mutex> lock(self->mutex);
    const std::shared_ptr<SecureTcpStream> stream = self->stream;
    if (!stream || !self->secured)
        return KvrConfig();
    // Registered before sending: a reply can never slip past its waiter.
    Private::Waiter waiter(Private::Waiter::Kind::Record, record.GetID());
    self->waiters.push_back(&waiter);
    lock.unlock();
    const bool sent = stream->send(pieces);
    lock.lock();
    if (sent)
        self->waitLocked(lock, waiter, timeoutMs);
    self->waiters.remove(&waiter);
    return waiter.ok ? waiter.record : KvrConfig();
}

void TcpConnection::setInboxMaxAge(int ms)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->inboxMaxAgeMs = qMax(ms, 0);
    d->purgeExpiredLocked();
}
