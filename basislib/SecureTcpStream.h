#pragma once

#include "FrameCipher.h"

#include <QByteArray>
#include <QString>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <memory>
#include <mutex>

// One TCP connection carrying sealed frames. The connecting side seals two
// fresh AES-256 keys (one per direction) to the far side's public key and
// sends them as its first frame; the accepting side opens them with its
// private key and confirms with a sealed first frame of its own. From then
// on every frame is sealed (see FrameCipher).
//
// All socket work runs on the I/O service's thread; send() and close() may
// be called from any thread. Pending handlers keep the stream alive through
// shared_from_this(), so its owner may drop it at any time.
class SecureTcpStream : public std::enable_shared_from_this<SecureTcpStream>
{
public:
    // Called on the I/O thread. `ended` comes exactly once after start,
    // whatever the cause, and nothing comes after it.
    struct Events
    {
        std::function<void()> secured;
        // False refuses the frame (damage above the frame layer): the stream ends.
        std::function<bool(const QByteArray &plain)> frame;
        std::function<void()> ended;
    };

    SecureTcpStream(boost::asio::io_context &io, int maxFrameSize, Events events);
    ~SecureTcpStream();
    SecureTcpStream(const SecureTcpStream &) = delete;
    SecureTcpStream &operator=(const SecureTcpStream &) = delete;

    // Starts connecting and the key exchange; gives up after handshakeTimeoutMs.
    void connectToHost(const QString &host, quint16 port, const QString &publicKey, int handshakeTimeoutMs);
    // Takes over an accepted socket (closed here when it cannot be used) and
    // waits for the key exchange at most handshakeTimeoutMs.
    bool adopt(qintptr descriptor, const QString &privateKey, int handshakeTimeoutMs);

    // Seals one frame and queues it; frames queued while a write is under
    // way leave together in the next one. False before the key exchange,
    // after close, or for a payload over the frame cap.
    bool send(const QByteArray &plain);
    // Sends what is queued (waiting a bounded time for a far side that does
    // not read), then closes; nothing more can be sent.
    void close();

    QString peerAddress() const;
    quint16 peerPort() const;

private:
    void armHandshakeTimer(int timeoutMs);
    void finish();
    bool sendKeyExchange(const QString &publicKey);
    void onConnected();
    void scheduleFlushLocked();
    void flush();
    void readSome();
    void onRead(const boost::system::error_code &error, std::size_t bytes);
    bool parseFrames();
    bool handleFrame(const char *body, int length);
    bool acceptKeyExchange(const char *body, int length);
    bool confirmKeyExchange(const char *body, int length);
    void rememberPeer();
    void shutdown();

    enum class Role { Connecting, Accepting };

    boost::asio::io_context &m_io;
    const int m_maxFrameSize;
    Events m_events;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::ip::tcp::resolver m_resolver;
    boost::asio::steady_timer m_deadline; // key exchange, then closing
    Role m_role = Role::Connecting;
    QString m_privateKey;

    // I/O thread only.
    std::unique_ptr<FrameCipher> m_opener;
    QByteArray m_readBuffer;
    int m_readLength = 0;
    QByteArray m_plain;
    QByteArray m_inFlight;
    bool m_finishing = false;
    bool m_ended = false;

    // Shared with the senders' threads.
    mutable std::mutex m_mutex;
    std::unique_ptr<FrameCipher> m_sealer;
    QByteArray m_pending;
    bool m_flushScheduled = false;
    bool m_secured = false;
    bool m_closing = false;
    QString m_peerAddress;
    quint16 m_peerPort = 0;
};
