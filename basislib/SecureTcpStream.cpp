#include "SecureTcpStream.h"

#include "WCryptography.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Direction tags of the nonces: the two directions never share one.
constexpr quint32 kConnectorToAcceptor = 0x57563031; // "WV01"
constexpr quint32 kAcceptorToConnector = 0x57563032; // "WV02"
constexpr int kSessionKeysSize = 2 * WAesGcm::KeySize;
// The sealed session keys: an RSA block (up to 32768-bit keys).
constexpr int kMaxKeyExchangeFrame = 4096;
const QByteArray kConfirmation = QByteArrayLiteral("wivora-link-ready");

// How long a closing link may take to hand its last frames to the far side.
constexpr int kCloseLingerMs = 5000;

constexpr int kReadChunk = 64 * 1024;
// Buffers above this are given back once they are no longer needed.
constexpr int kKeptBufferSize = 4 * 1024 * 1024;

} // namespace

SecureTcpStream::SecureTcpStream(asio::io_context &io, int maxFrameSize, Events events)
    : m_io(io)
    , m_maxFrameSize(maxFrameSize)
    , m_events(std::move(events))
    , m_socket(io)
    , m_resolver(io)
    , m_deadline(io)
{
    m_pending.reserve(kReadChunk);
    m_inFlight.reserve(kReadChunk);
}

SecureTcpStream::~SecureTcpStream() = default;

void SecureTcpStream::connectToHost(const QString &host, quint16 port, const QString &publicKey,
                                    int handshakeTimeoutMs)
{
    m_role = Role::Connecting;
    asio::post(m_io, [self = shared_from_this(), host, port, publicKey, handshakeTimeoutMs] {
        self->armHandshakeTimer(handshakeTimeoutMs);
        self->m_resolver.async_resolve(
            host.toStdString(), std::to_string(port), tcp::resolver::numeric_service,
            [self, publicKey](const boost::system::error_code &error, const tcp::resolver::results_type &endpoints) {
                // Once ended, a late success must not open a new socket.
                if (error || self->m_ended) {
                    self->shutdown();
                    return;
                }
                asio::async_connect(self->m_socket, endpoints,
                                    [self, publicKey](const boost::system::error_code &error, const tcp::endpoint &) {
                                        if (error || self->m_ended || !self->sendKeyExchange(publicKey)) {
                                            self->shutdown();
                                            return;
                                        }
                                        self->onConnected();
                                    });
            });
    });
}

bool SecureTcpStream::sendKeyExchange(const QString &publicKey)
{
    // Sealed to the far side's key: only the holder of its private key can
    // read the session keys.
    const QByteArray keys = WCryptography::GenerateRandom(kSessionKeysSize);
    const QByteArray sealed = WCryptography::SealToPublicKey(publicKey, keys);
    if (keys.size() != kSessionKeysSize || sealed.isEmpty() || sealed.size() > kMaxKeyExchangeFrame)
        return false;
    m_opener = std::make_unique<FrameCipher>(keys.mid(WAesGcm::KeySize), kAcceptorToConnector);
    QByteArray frame;
    FrameCipher::appendLength(&frame, quint32(sealed.size()));
    frame.append(sealed);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sealer = std::make_unique<FrameCipher>(keys.left(WAesGcm::KeySize), kConnectorToAcceptor);
    m_pending.append(frame);
    scheduleFlushLocked();
    return true;
}

bool SecureTcpStream::adopt(qintptr descriptor, const QString &privateKey, int handshakeTimeoutMs)
{
    m_role = Role::Accepting;
    m_privateKey = privateKey;
    sockaddr_storage address {};
    socklen_t addressLength = sizeof address;
    boost::system::error_code error;
    if (descriptor < 0
        || ::getsockname(int(descriptor), reinterpret_cast<sockaddr *>(&address), &addressLength) != 0
        || (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
        if (descriptor >= 0)
            ::close(int(descriptor));
        return false;
    }
    m_socket.assign(address.ss_family == AF_INET ? tcp::v4() : tcp::v6(), int(descriptor), error);
    if (error) {
        ::close(int(descriptor));
        return false;
    }
    auto self = shared_from_this();
    asio::post(m_io, [self, handshakeTimeoutMs] {
        self->armHandshakeTimer(handshakeTimeoutMs);
        self->onConnected();
    });
    return true;
}

void SecureTcpStream::armHandshakeTimer(int timeoutMs)
{
    // A far side that never completes the key exchange must not hold the socket.
    m_deadline.expires_after(std::chrono::milliseconds(qMax(timeoutMs, 0)));
    std::weak_ptr<SecureTcpStream> weak = shared_from_this();
    m_deadline.async_wait([weak](const boost::system::error_code &error) {
        // m_secured changes only on this thread.
        auto self = weak.lock();
        if (self && !error && !self->m_secured)
            self->shutdown();
    });
}

void SecureTcpStream::onConnected()
{
    if (m_ended)
        return;
    boost::system::error_code ignored;
    // Records are small and latency matters more than packet count: frames
    // are batched by the write queue instead.
    m_socket.set_option(tcp::no_delay(true), ignored);
    rememberPeer();
    m_readBuffer.resize(kReadChunk);
    readSome();
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

bool SecureTcpStream::send(const QByteArray &plain)
{
    if (plain.size() > m_maxFrameSize - WAesGcm::TagSize)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_secured || m_closing)
        return false;
    // Sealing under the lock keeps counter order and queue order the same.
    if (!m_sealer->sealFrame(plain.constData(), plain.size(), &m_pending))
        return false;
    scheduleFlushLocked();
    return true;
}

void SecureTcpStream::scheduleFlushLocked()
{
    if (m_flushScheduled)
        return;
    m_flushScheduled = true;
    asio::post(m_io, [self = shared_from_this()] { self->flush(); });
}

void SecureTcpStream::flush()
{
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended) {
            m_flushScheduled = false;
            return;
        }
        idle = m_pending.isEmpty();
        if (idle)
            m_flushScheduled = false;
        else
            m_pending.swap(m_inFlight); // everything queued so far leaves in one write
    }
    if (idle) {
        if (m_finishing)
            shutdown();
        return;
    }
    asio::async_write(m_socket, asio::buffer(m_inFlight.constData(), std::size_t(m_inFlight.size())),
                      [self = shared_from_this()](const boost::system::error_code &error, std::size_t) {
                          if (error) {
                              self->shutdown();
                              return;
                          }
                          if (self->m_inFlight.capacity() > kKeptBufferSize) {
                              self->m_inFlight = QByteArray();
                              self->m_inFlight.reserve(kReadChunk);
                          } else {
                              self->m_inFlight.resize(0);
                          }
                          self->flush();
                      });
}

void SecureTcpStream::readSome()
{
    if (m_ended)
        return;
    if (m_readLength == m_readBuffer.size()) {
        // Only a frame that does not fit yet fills the buffer (parseFrames took
        // every whole one), and its length was checked against the cap: grow
        // towards it no faster than its bytes arrive.
        const int needed = FrameCipher::HeaderSize + int(FrameCipher::readLength(m_readBuffer.constData()));
        m_readBuffer.resize(qMin(needed, m_readBuffer.size() * 2));
    }
    m_socket.async_read_some(
        asio::buffer(m_readBuffer.data() + m_readLength, std::size_t(m_readBuffer.size() - m_readLength)),
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
    m_readLength += int(bytes);
    if (!parseFrames()) {
        shutdown();
        return;
    }
    readSome();
}

bool SecureTcpStream::parseFrames()
{
    int at = 0;
    while (!m_ended && m_readLength - at >= FrameCipher::HeaderSize) {
        const quint32 length = FrameCipher::readLength(m_readBuffer.constData() + at);
        // Only the key exchange may come before m_secured, and it is small.
        const quint32 maxLength = quint32(m_secured ? m_maxFrameSize : kMaxKeyExchangeFrame);
        if (length == 0 || length > maxLength)
            return false;
        if (quint32(m_readLength - at - FrameCipher::HeaderSize) < length)
            break;
        if (!handleFrame(m_readBuffer.constData() + at + FrameCipher::HeaderSize, int(length)))
            return false;
        at += FrameCipher::HeaderSize + int(length);
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

bool SecureTcpStream::handleFrame(const char *body, int length)
{
    if (m_finishing)
        return true; // the owner let go of the link: nothing more is delivered
    if (!m_secured) {
        return m_role == Role::Accepting ? acceptKeyExchange(body, length) : confirmKeyExchange(body, length);
    }
    if (!m_opener->openFrame(body, length, &m_plain))
        return false;
    return m_events.frame && m_events.frame(m_plain);
}

bool SecureTcpStream::acceptKeyExchange(const char *body, int length)
{
    const QByteArray keys = WCryptography::OpenWithPrivateKey(m_privateKey, QByteArray(body, length));
    if (keys.size() != kSessionKeysSize)
        return false;
    m_opener = std::make_unique<FrameCipher>(keys.left(WAesGcm::KeySize), kConnectorToAcceptor);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sealer = std::make_unique<FrameCipher>(keys.mid(WAesGcm::KeySize), kAcceptorToConnector);
        if (!m_opener->isValid() || !m_sealer->isValid()
            || !m_sealer->sealFrame(kConfirmation.constData(), kConfirmation.size(), &m_pending))
            return false;
        scheduleFlushLocked();
        m_secured = true;
    }
    m_privateKey.clear();
    m_deadline.cancel();
    if (m_events.secured)
        m_events.secured();
    return true;
}

bool SecureTcpStream::confirmKeyExchange(const char *body, int length)
{
    // Only the holder of the private key could seal this with our keys.
    if (!m_opener->isValid() || !m_opener->openFrame(body, length, &m_plain) || m_plain != kConfirmation)
        return false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_sealer->isValid())
            return false;
        m_secured = true;
    }
    m_deadline.cancel();
    if (m_events.secured)
        m_events.secured();
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_closing = true;
        m_secured = false;
        m_pending.clear();
    }
    boost::system::error_code ignored;
    m_deadline.cancel();
    m_resolver.cancel();
    m_socket.shutdown(tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
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
