#include "SecureTcpStream.h"

#include "TlsContexts.h"
#include "WCryptography.h"

#include <QtEndian>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr int kHeaderSize = 4;
// The accepting side's first frame once the handshake is done.
const QByteArray kReady = QByteArrayLiteral("wivora-link-ready");

// How long a closing link may take to hand its last frames to the far side.
constexpr int kCloseLingerMs = 5000;

constexpr int kReadChunk = 64 * 1024;
constexpr int kLargeNetChunk = 512 * 1024;
// The most plain bytes a sender seals before writing them out.
constexpr int kSealBatch = 256 * 1024;
// One TLS record and its header: enough for a link that may only send small frames.
constexpr int kSmallNetChunk = 16 * 1024 + 512;
constexpr int kSmallBuffer = 4096;
// The payload of one TLS record.
constexpr int kSealedRecord = 16 * 1024;
// Buffers above this are given back once they are no longer needed.
constexpr int kKeptBufferSize = 4 * 1024 * 1024;

// m_sealed takes any amount: a write is never partial.
bool sealTls(SSL *ssl, const char *plain, int length)
{
    if (SSL_write(ssl, plain, length) == length)
        return true;
    ERR_clear_error();
    return false;
}

quint32 readLength(const char *header)
{
    return qFromBigEndian<quint32>(header);
}

void appendLength(QByteArray *out, quint32 length)
{
    char header[kHeaderSize];
    qToBigEndian(length, header);
    out->append(header, kHeaderSize);
}

} // namespace

SecureTcpStream::SecureTcpStream(asio::io_context &io, int maxFrameSize, SendLimits sendLimits, Events events)
    : m_io(io)
    , m_maxFrameSize(maxFrameSize)
    , m_events(std::move(events))
    , m_socket(io)
    , m_resolver(io)
    , m_deadline(io)
    , m_drainDeadline(io)
    , m_sendLimits(sendLimits)
    , m_frameLimit(maxFrameSize)
{
    // Reserved buffers keep their capacity when emptied: steady traffic then
    // reuses the same memory instead of fresh pages for every batch.
    for (QByteArray *buffer : {&m_sealed, &m_cipherOut})
        buffer->reserve(kSmallBuffer);
    m_scratch.reserve(kSealedRecord);
}

SecureTcpStream::~SecureTcpStream()
{
    SSL_free(m_ssl);
    ERR_clear_error();
}

namespace {

// A BIO that hands TLS's reads and writes to the stream that owns it.
BIO_METHOD *newLinkBioMethod(int (*read)(BIO *, char *, int), int (*write)(BIO *, const char *, int))
{
    BIO_METHOD *made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "wivora link");
    BIO_meth_set_read(made, read);
    BIO_meth_set_write(made, write);
    BIO_meth_set_ctrl(made, [](BIO *, int command, long, void *) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
    BIO_meth_set_create(made, [](BIO *bio) {
        BIO_set_init(bio, 1);
        return 1;
    });
    return made;
}

} // namespace

// Made when the library loads, before the I/O thread exists, so that it
// outlives the thread at exit.
BIO_METHOD *const SecureTcpStream::s_bioMethod = newLinkBioMethod(&SecureTcpStream::bioRead, &SecureTcpStream::bioWrite);

bool SecureTcpStream::startTls(bool accepting)
{
    m_context = accepting ? m_context : TlsContexts::forConnecting();
    m_ssl = m_context ? SSL_new(m_context.get()) : nullptr;
    BIO *bio = m_ssl ? BIO_new(s_bioMethod) : nullptr;
    if (!bio)
        return false;
    BIO_set_data(bio, this);
    SSL_set_bio(m_ssl, bio, bio); // owned by m_ssl from here on
    SSL_set_app_data(m_ssl, this);
    if (accepting) {
        SSL_set_accept_state(m_ssl);
    } else {
        SSL_set_connect_state(m_ssl);
        SSL_set_verify(m_ssl, SSL_VERIFY_PEER, &SecureTcpStream::verifyPeer);
    }
    return true;
}

int SecureTcpStream::bioRead(BIO *bio, char *out, int length)
{
    auto *self = static_cast<SecureTcpStream *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int available = self->m_netEnd - self->m_netAt;
    if (available == 0) {
        BIO_set_retry_read(bio); // more comes with the next socket read
        return -1;
    }
    const int taken = qMin(available, length);
    std::memcpy(out, self->m_netBuffer.constData() + self->m_netAt, std::size_t(taken));
    self->m_netAt += taken;
    return taken;
}

int SecureTcpStream::bioWrite(BIO *bio, const char *data, int length)
{
    auto *self = static_cast<SecureTcpStream *>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    self->m_sealed.append(data, length);
    self->noteBacklogLocked(); // TLS writes only under m_mutex
    return length;
}

// The far side's certificate is judged by its key alone.
int SecureTcpStream::verifyPeer(int, X509_STORE_CTX *context)
{
    SSL *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto *self = ssl ? static_cast<SecureTcpStream *>(SSL_get_app_data(ssl)) : nullptr;
    return self && TlsContexts::verifyPinnedKey(context, self->m_pinnedKey) ? 1 : 0;
}

void SecureTcpStream::connectToHost(const QString &host, quint16 port, const QString &publicKey,
                                    int handshakeTimeoutMs)
{
    const QByteArray pinnedKey = WCryptography::PublicKeyDer(publicKey);
    asio::post(m_io, [self = shared_from_this(), host, port, pinnedKey, handshakeTimeoutMs] {
        self->armDeadline(handshakeTimeoutMs);
        self->m_pinnedKey = pinnedKey;
        // Without a readable key nobody could pass the check: do not even try.
        if (pinnedKey.isEmpty() || !self->startTls(false)) {
            self->shutdown();
            return;
        }
        self->m_resolver.async_resolve(
            host.toStdString(), std::to_string(port), tcp::resolver::numeric_service,
            [self](const boost::system::error_code &error, const tcp::resolver::results_type &endpoints) {
                // Once ended, a late success must not open a new socket.
                if (error || self->m_ended) {
                    self->shutdown();
                    return;
                }
                asio::async_connect(self->m_socket, endpoints,
                                    [self](const boost::system::error_code &error, const tcp::endpoint &) {
                                        if (error || self->m_ended) {
                                            self->shutdown();
                                            return;
                                        }
                                        self->onSocketReady();
                                    });
            });
    });
}

bool SecureTcpStream::adopt(qintptr descriptor, const QString &privateKey, int handshakeTimeoutMs,
                            Admission admission)
{
    sockaddr_storage address {};
    socklen_t addressLength = sizeof address;
    m_context = descriptor >= 0 ? TlsContexts::forAccepting(privateKey) : nullptr;
    if (!m_context || ::getsockname(int(descriptor), reinterpret_cast<sockaddr *>(&address), &addressLength) != 0
        || (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
        if (descriptor >= 0)
            ::close(int(descriptor));
        return false;
    }
    boost::system::error_code error;
    {
        // A drop() may run on the I/O thread already (its place was taken).
        std::lock_guard<std::mutex> lock(m_mutex);
        m_socket.assign(address.ss_family == AF_INET ? tcp::v4() : tcp::v6(), int(descriptor), error);
    }
    if (error) {
        ::close(int(descriptor));
        return false;
    }
    const bool admitting = admission.timeLimitMs > 0;
    if (admitting && admission.frameLimit > 0)
        m_frameLimit = qMin(admission.frameLimit, m_maxFrameSize);
    const int deadlineMs = admitting ? admission.timeLimitMs : handshakeTimeoutMs;
    asio::post(m_io, [self = shared_from_this(), admission = std::move(admission), admitting, deadlineMs]() mutable {
        self->m_admission = std::move(admission);
        self->m_awaitingAdmission = admitting;
        self->armDeadline(deadlineMs);
        if (!self->startTls(true)) {
            self->shutdown();
            return;
        }
        self->onSocketReady();
    });
    return true;
}

void SecureTcpStream::admit()
{
    asio::post(m_io, [self = shared_from_this()] {
        if (!self->m_awaitingAdmission || self->m_ended)
            return;
        self->m_awaitingAdmission = false;
        self->m_admission = Admission();
        self->m_frameLimit = self->m_maxFrameSize;
        if (!self->m_finishing)
            self->m_deadline.cancel();
    });
}

void SecureTcpStream::holdAsProven(int frameLimit, int timeLimitMs, std::shared_ptr<void> place)
{
    asio::post(m_io, [self = shared_from_this(), frameLimit, timeLimitMs, place = std::move(place)]() mutable {
        if (!self->m_awaitingAdmission || self->m_proven || self->m_ended)
            return;
        self->m_proven = true;
        self->m_admission.provenPlace = std::move(place);
        if (frameLimit > 0)
            self->m_frameLimit = qMin(frameLimit, self->m_maxFrameSize);
        if (timeLimitMs > 0 && !self->m_finishing)
            self->armDeadline(timeLimitMs);
    });
}

void SecureTcpStream::drop()
{
    asio::post(m_io, [self = shared_from_this()] { self->shutdown(); });
}

void SecureTcpStream::armDeadline(int timeoutMs)
{
    // A far side that never completes the handshake (or never logs in) must
    // not hold the socket.
    m_deadline.expires_after(std::chrono::milliseconds(qMax(timeoutMs, 0)));
    std::weak_ptr<SecureTcpStream> weak = shared_from_this();
    m_deadline.async_wait([weak](const boost::system::error_code &error) {
        // m_secured changes only on this thread.
        auto self = weak.lock();
        if (self && !error && (!self->m_secured || self->m_awaitingAdmission))
            self->shutdown();
    });
}

void SecureTcpStream::onSocketReady()
{
    if (m_ended)
        return;
    boost::system::error_code ignored;
    // Records are small and latency matters more than packet count: frames
    // are batched by the write queue instead.
    m_socket.set_option(tcp::no_delay(true), ignored);
    rememberPeer();
    // A link held to small frames never needs large reads.
    m_netBuffer.resize(m_frameLimit.load() < kReadChunk ? kSmallNetChunk : kReadChunk);
    m_readBuffer.resize(qMin(kReadChunk, kHeaderSize + m_frameLimit.load()));
    if (!driveHandshake()) {
        shutdown();
        return;
    }
    readSome();
}

// Advances the handshake with what arrived; false when it failed.
bool SecureTcpStream::driveHandshake()
{
    bool server = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int result = SSL_do_handshake(m_ssl);
        scheduleFlushLocked(); // what the handshake wrote
        if (result != 1) {
            const bool waiting = SSL_get_error(m_ssl, result) == SSL_ERROR_WANT_READ;
            ERR_clear_error();
            return waiting;
        }
        m_handshakeDone = true;
        server = SSL_is_server(m_ssl);
        // TLS 1.3 lets the connecting side finish first: the ready frame
        // tells it that this side can take frames too.
        if (server && !sealReadyLocked())
            return false;
    }
    if (server)
        becomeSecured();
    else
        m_awaitingReady = true;
    // Bytes that came with the last handshake message.
    return decrypt();
}

void SecureTcpStream::becomeSecured()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_secured = true;
        m_descriptor = m_socket.native_handle();
    }
    if (!m_awaitingAdmission)
        m_deadline.cancel();
    if (m_events.secured)
        m_events.secured();
}

void SecureTcpStream::rememberPeer()
{
    boost::system::error_code error;
    const tcp::endpoint peer = m_socket.remote_endpoint(error);
    if (error)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_peerAddress = QString::fromStdString(peer.address().to_string());
    m_peerPort = peer.port();
}

bool SecureTcpStream::send(const QVector<QByteArray> &pieces)
{
    qint64 length = 0;
    for (const QByteArray &piece : pieces)
        length += piece.size();
    if (length == 0 || length > m_maxFrameSize)
        return false;
    char header[kHeaderSize];
    qToBigEndian(quint32(length), header);

    std::lock_guard<std::mutex> sending(m_sendMutex);
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_secured || m_closing)
        return false;
    if (backlogLocked() + length > m_sendLimits.backlogCap + m_maxFrameSize) {
        // A sender that ignored the cap: dropping the frame would leave a
        // hole in the stream, queuing it would leave memory unbounded.
        m_closing = true;
        asio::post(m_io, [self = shared_from_this()] { self->shutdown(); });
        return false;
    }
    bool sealed = sealPartLocked(header, kHeaderSize);
    int sealedSinceWrite = 0;
    for (const QByteArray &piece : pieces) {
        for (int at = 0; sealed && at < piece.size();) {
            const int part = qMin(piece.size() - at, kSealBatch - sealedSinceWrite);
            sealed = sealPartLocked(piece.constData() + at, part);
            at += part;
            sealedSinceWrite += part;
            if (!sealed || sealedSinceWrite < kSealBatch)
                continue;
            // What is sealed travels while the rest is being sealed, and the
            // I/O thread may open arrivals in between.
            writeOrScheduleLocked();
            lock.unlock();
            sealedSinceWrite = 0;
            lock.lock();
            // Closed meanwhile: the far side gets a truncated frame, which it drops.
            if (!m_secured || m_closing) {
                m_scratch.resize(0);
                return false;
            }
        }
    }
    sealed = sealed && endFrameLocked();
    if (!sealed) {
        // TLS refused part of a frame: nothing sensible can follow it.
        m_scratch.resize(0);
        asio::post(m_io, [self = shared_from_this()] { self->shutdown(); });
        return false;
    }
    writeOrScheduleLocked();
    return true;
}

bool SecureTcpStream::sealReadyLocked()
{
    QByteArray frame;
    appendLength(&frame, quint32(kReady.size()));
    frame += kReady;
    return sealTls(m_ssl, frame.constData(), frame.size());
}

// Seals the next bytes of a frame in whole TLS records: a frame's small
// pieces share records (a small frame takes one), and the bulk of a large
// piece is sealed from where it lies.
bool SecureTcpStream::sealPartLocked(const char *plain, int length)
{
    if (!m_scratch.isEmpty() || length < kSealedRecord) {
        const int taken = qMin(length, kSealedRecord - m_scratch.size());
        m_scratch.append(plain, taken);
        plain += taken;
        length -= taken;
        if (m_scratch.size() < kSealedRecord)
            return true;
        if (!sealTls(m_ssl, m_scratch.constData(), m_scratch.size()))
            return false;
        m_scratch.resize(0);
    }
    const int whole = length - length % kSealedRecord;
    if (whole > 0 && !sealTls(m_ssl, plain, whole))
        return false;
    m_scratch.append(plain + whole, length - whole);
    return true;
}

bool SecureTcpStream::endFrameLocked()
{
    const bool sealed = m_scratch.isEmpty() || sealTls(m_ssl, m_scratch.constData(), m_scratch.size());
    m_scratch.resize(0);
    return sealed;
}

// With nothing under way, the sender writes what the socket takes at once,
// sparing the hand-over to the I/O thread; the rest is left to flush().
void SecureTcpStream::writeOrScheduleLocked()
{
    if (m_flushScheduled || m_sealed.isEmpty())
        return; // leaves with the write under way or due
    const ssize_t written =
        ::send(m_descriptor, m_sealed.constData(), std::size_t(m_sealed.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (written == m_sealed.size()) {
        m_sealed.resize(0);
        noteBacklogLocked();
        return;
    }
    // flush() writes the rest, from where this write ended.
    m_sealedWritten = int(qMax<ssize_t>(written, 0));
    noteBacklogLocked();
    scheduleFlushLocked(); // a failed write ends the link there
}

qint64 SecureTcpStream::backlogLocked() const
{
    return m_sealed.size() - m_sealedWritten + m_inFlight;
}

// Follows the unsent bytes across the cap: reaching it starts the drain
// deadline (readOrPause() stops reading); falling below half of it ends the
// deadline and wakes waiting senders and reading. A far side that takes a
// few bytes now and then does not count as draining, and senders that
// resume find room for more than one frame.
void SecureTcpStream::noteBacklogLocked()
{
    const qint64 backlog = backlogLocked();
    const bool full = backlog >= (m_backlogFull ? m_sendLimits.backlogCap / 2 : m_sendLimits.backlogCap);
    if (full == m_backlogFull)
        return;
    m_backlogFull = full;
    const quint64 epoch = ++m_fullEpoch;
    if (full) {
        asio::post(m_io, [self = shared_from_this(), epoch] { self->armDrainDeadline(epoch); });
    } else {
        m_roomChanged.notify_all();
        asio::post(m_io, [self = shared_from_this()] { self->onRoom(); });
    }
}

void SecureTcpStream::armDrainDeadline(quint64 fullEpoch)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended || fullEpoch != m_fullEpoch)
            return; // drained meanwhile
    }
    m_drainDeadline.expires_after(std::chrono::milliseconds(m_sendLimits.drainTimeLimitMs));
    std::weak_ptr<SecureTcpStream> weak = shared_from_this();
    m_drainDeadline.async_wait([weak, fullEpoch](const boost::system::error_code &error) {
        auto self = weak.lock();
        if (!self || error)
            return;
        std::unique_lock<std::mutex> lock(self->m_mutex);
        const bool stillFull = fullEpoch == self->m_fullEpoch;
        lock.unlock();
        // A far side that takes nothing holds our memory: let it go.
        if (stillFull)
            self->shutdown();
    });
}

void SecureTcpStream::onRoom()
{
    if (m_ended)
        return;
    m_drainDeadline.cancel();
    if (m_readPaused)
        readOrPause();
    if (m_events.room)
        m_events.room();
}

bool SecureTcpStream::hasRoom() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_backlogFull;
}

bool SecureTcpStream::waitForRoom(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_io.get_executor().running_in_this_thread())
        return !m_backlogFull && !m_closing;
    m_roomChanged.wait_for(lock, std::chrono::milliseconds(qMax(timeoutMs, 0)),
                           [this] { return !m_backlogFull || m_closing; });
    return !m_backlogFull && !m_closing;
}

void SecureTcpStream::holdReading(bool held)
{
    if (m_readingHeld.exchange(held) != held && !held)
        resumeReading(); // holding takes effect at the next read
}

void SecureTcpStream::setArrivalsWaiting(bool waiting)
{
    if (m_arrivalsWaiting.exchange(waiting) != waiting && !waiting)
        resumeReading();
}

void SecureTcpStream::resumeReading()
{
    asio::post(m_io, [self = shared_from_this()] {
        if (self->m_readPaused && !self->m_ended)
            self->readOrPause();
    });
}

void SecureTcpStream::scheduleFlushLocked()
{
    if (m_flushScheduled)
        return;
    m_flushScheduled = true;
    asio::post(m_io, [self = shared_from_this()] { self->flush(); });
}

// The only writer: sends everything sealed so far in one write; runs again
// when that write is done.
void SecureTcpStream::flush()
{
    int written = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended || m_sealed.isEmpty()) {
            m_flushScheduled = false;
            if (m_ended || !m_finishing)
                return;
        } else {
            m_sealed.swap(m_cipherOut);
            written = m_sealedWritten;
            m_sealedWritten = 0;
            // Still unsent, now counted as under way.
            m_inFlight = m_cipherOut.size() - written;
        }
    }
    if (m_cipherOut.isEmpty()) {
        shutdown(); // finishing, and everything is out
        return;
    }
    m_cipherOutAt = written;
    writeSome();
}

// Writes the batch piece by piece, so that the unsent bytes shrink (and
// waiting senders go on) while a large batch is still leaving.
void SecureTcpStream::writeSome()
{
    m_socket.async_write_some(
        asio::buffer(m_cipherOut.constData() + m_cipherOutAt, std::size_t(m_cipherOut.size() - m_cipherOutAt)),
        [self = shared_from_this()](const boost::system::error_code &error, std::size_t bytes) {
            if (error || self->m_ended) {
                self->shutdown();
                return;
            }
            self->m_cipherOutAt += int(bytes);
            {
                std::lock_guard<std::mutex> lock(self->m_mutex);
                self->m_inFlight -= qint64(bytes);
                self->noteBacklogLocked();
            }
            if (self->m_cipherOutAt < self->m_cipherOut.size()) {
                self->writeSome();
                return;
            }
            self->m_cipherOutAt = 0;
            if (self->m_cipherOut.capacity() > kKeptBufferSize) {
                self->m_cipherOut = QByteArray();
                self->m_cipherOut.reserve(kSmallBuffer);
            } else {
                self->m_cipherOut.resize(0);
            }
            self->flush();
        });
}

void SecureTcpStream::readSome()
{
    if (m_ended)
        return;
    m_socket.async_read_some(asio::buffer(m_netBuffer.data(), std::size_t(m_netBuffer.size())),
                             [self = shared_from_this()](const boost::system::error_code &error, std::size_t bytes) {
                                 self->onRead(error, bytes);
                             });
}

void SecureTcpStream::onRead(const boost::system::error_code &error, std::size_t bytes)
{
    if (error || m_ended) {
        shutdown();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_netAt = 0;
        m_netEnd = int(bytes);
    }
    const bool fine = m_handshakeDone ? decrypt() : driveHandshake();
    if (!fine) {
        shutdown();
        return;
    }
    // Reads follow the traffic: a read that filled the buffer asks for a
    // larger one (fewer reads for large frames), small reads give it back.
    const int size = m_netBuffer.size();
    if (size < kReadChunk && m_frameLimit.load() >= kReadChunk)
        m_netBuffer.resize(kReadChunk); // admitted: large frames may come now
    else if (int(bytes) == size && size < kLargeNetChunk)
        m_netBuffer.resize(2 * size);
    else if (size > kReadChunk && int(bytes) < kReadChunk)
        m_netBuffer = QByteArray(kReadChunk, Qt::Uninitialized);
    readOrPause();
}

// Reading stops while the far side does not take what we send and the owner
// falls behind with what came, or while the owner holds it: what arrives
// would only add to the queues.
void SecureTcpStream::readOrPause()
{
    bool full = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        full = m_backlogFull;
    }
    m_readPaused = (full && m_arrivalsWaiting.load()) || m_readingHeld.load();
    if (!m_readPaused)
        readSome();
}

// Opens every whole TLS record that arrived and hands on the frames inside;
// false when a record fails to open (damaged, replayed or out of order) or
// a frame is refused.
bool SecureTcpStream::decrypt()
{
    while (!m_ended) {
        if (m_readLength == m_readBuffer.size()) {
            // Only a frame that does not fit yet fills the buffer (parseFrames
            // took every whole one), and its length was checked against the
            // cap: grow towards it no faster than its bytes arrive.
            const int needed = kHeaderSize + int(readLength(m_readBuffer.constData()));
            m_readBuffer.resize(qMin(needed, qMax(m_readBuffer.size() * 2, kReadChunk)));
        }
        int opened = 0;
        bool more = true;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            opened = SSL_read(m_ssl, m_readBuffer.data() + m_readLength, m_readBuffer.size() - m_readLength);
            if (opened <= 0) {
                const bool waiting = SSL_get_error(m_ssl, opened) == SSL_ERROR_WANT_READ;
                ERR_clear_error();
                // TLS may have answered something itself (a key update).
                if (!m_sealed.isEmpty())
                    scheduleFlushLocked();
                return waiting;
            }
            // Spares a read that could only say "wait for the socket".
            more = m_netAt < m_netEnd || SSL_has_pending(m_ssl);
        }
        m_readLength += opened;
        if (!parseFrames())
            return false;
        if (!more)
            break;
    }
    return true;
}

bool SecureTcpStream::parseFrames()
{
    int at = 0;
    while (!m_ended && m_readLength - at >= kHeaderSize) {
        const quint32 length = readLength(m_readBuffer.constData() + at);
        if (length == 0 || length > quint32(m_frameLimit.load()))
            return false;
        if (quint32(m_readLength - at - kHeaderSize) < length)
            break;
        if (m_awaitingReady) {
            if (QByteArray::fromRawData(m_readBuffer.constData() + at + kHeaderSize, int(length)) != kReady)
                return false;
            m_awaitingReady = false;
            becomeSecured();
        } else if (!m_finishing) { // else the owner let go of the link: nothing more is delivered
            const QByteArray plain = QByteArray::fromRawData(m_readBuffer.constData() + at + kHeaderSize, int(length));
            if (!m_events.frame || !m_events.frame(plain))
                return false;
        }
        at += kHeaderSize + int(length);
    }
    m_readLength -= at;
    if (at > 0 && m_readLength > 0)
        std::memmove(m_readBuffer.data(), m_readBuffer.constData() + at, std::size_t(m_readLength));
    if (m_readBuffer.size() > kKeptBufferSize && m_readLength <= kReadChunk) {
        QByteArray smaller(kReadChunk, Qt::Uninitialized);
        std::memcpy(smaller.data(), m_readBuffer.constData(), std::size_t(m_readLength));
        m_readBuffer.swap(smaller);
    }
    return true;
}

void SecureTcpStream::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closing)
            return;
        m_closing = true;
    }
    asio::post(m_io, [self = shared_from_this()] { self->finish(); });
}

void SecureTcpStream::finish()
{
    if (m_ended)
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool writing = m_flushScheduled;
    lock.unlock();
    if (!writing) {
        shutdown();
        return;
    }
    // flush() ends the stream once the queue is empty.
    m_finishing = true;
    m_deadline.expires_after(std::chrono::milliseconds(kCloseLingerMs));
    std::weak_ptr<SecureTcpStream> weak = shared_from_this();
    m_deadline.async_wait([weak](const boost::system::error_code &error) {
        auto self = weak.lock();
        if (self && !error)
            self->shutdown();
    });
}

void SecureTcpStream::shutdown()
{
    if (m_ended)
        return;
    boost::system::error_code ignored;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_closing = true;
        m_secured = false;
        m_sealed.clear();
        m_sealedWritten = 0;
        m_inFlight = 0;
        m_roomChanged.notify_all(); // waiting senders give up
        // Under the lock: no sender writes to the descriptor once it is closed.
        m_descriptor = -1;
        m_socket.shutdown(tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
    }
    m_deadline.cancel();
    m_drainDeadline.cancel();
    m_resolver.cancel();
    m_admission = Admission();
    if (m_events.ended)
        m_events.ended();
    m_events = Events();
}

QString SecureTcpStream::peerAddress() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_peerAddress;
}

quint16 SecureTcpStream::peerPort() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_peerPort;
}
