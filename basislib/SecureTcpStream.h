#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;
typedef struct bio_method_st BIO_METHOD;
typedef struct x509_store_ctx_st X509_STORE_CTX;

// One TCP connection carrying frames (4-byte big-endian length + body) over
// TLS 1.3. The connecting side accepts the handshake only from the holder of
// the private key of the public key it was given; both ends contribute fresh
// key shares, so no recorded stream opens a new session, and TLS numbers its
// records, so a record replayed, reordered or damaged ends the link.
//
// An accepted stream may wait for admission (the far side logging in): until
// admit() its frames are held to a small cap, a deadline ends it, and it
// keeps a place of a PendingLinkBudget. A far side that proved a name but is
// not admitted may be given other limits meanwhile (holdAsProven()).
//
// What waits to be written is bounded: from when the unsent bytes reach the
// send limits' cap until they fall below half of it, while the owner has frames it did not take yet, the
// stream stops reading (so a far side that does not read cannot have more of
// its requests answered; an owner that keeps taking frames keeps reading, so
// two sides sending to each other at once never wait for each other),
// senders may wait for room, and a stream that does not drain in the drain
// time limit ends. A frame
// that would take the unsent bytes past the cap plus one largest frame ends
// the stream instead of being queued: frames are never dropped from the
// middle of a stream.
//
// All socket work runs on the I/O service's thread; send(), admit(),
// waitForRoom(), holdReading() and close() may be called from any thread. Pending handlers keep the stream
// alive through shared_from_this(), so its owner may drop it at any time.
class SecureTcpStream : public std::enable_shared_from_this<SecureTcpStream>
{
public:
    // Called on the I/O thread. `ended` comes exactly once after start,
    // whatever the cause, and nothing comes after it.
    struct Events
    {
        std::function<void()> secured;
        // False refuses the frame (damage above the frame layer): the stream
        // ends. `plain` views the stream's buffer: valid during the call only.
        std::function<bool(const QByteArray &plain)> frame;
        std::function<void()> ended;
        // The unsent bytes fell below the cap after having reached it.
        std::function<void()> room;
    };

    struct SendLimits
    {
        qint64 backlogCap = 0;
        int drainTimeLimitMs = 0;
    };

    // What an accepted stream may hold until admit().
    struct Admission
    {
        int frameLimit = 0;
        int timeLimitMs = 0;
        std::shared_ptr<void> place; // given back when admitted or ended
        std::shared_ptr<void> provenPlace; // likewise, once a name was proven
    };

    SecureTcpStream(boost::asio::io_context &io, int maxFrameSize, SendLimits sendLimits, Events events);
    ~SecureTcpStream();
    SecureTcpStream(const SecureTcpStream &) = delete;
    SecureTcpStream &operator=(const SecureTcpStream &) = delete;

    // Starts connecting and the handshake; gives up after handshakeTimeoutMs.
    void connectToHost(const QString &host, quint16 port, const QString &publicKey, int handshakeTimeoutMs);
    // Takes over an accepted socket (closed here when it cannot be used) and
    // waits for the handshake at most handshakeTimeoutMs, or, with an
    // admission, for admit() at most its time limit.
    bool adopt(qintptr descriptor, const QString &privateKey, int handshakeTimeoutMs,
               Admission admission);
    // Lifts the admission's limits.
    void admit();
    // The far side proved a name: until admit(), frames up to frameLimit and
    // an end timeLimitMs from now (0 keeps the current one), and `place` is
    // held. Only the first call counts.
    void holdAsProven(int frameLimit, int timeLimitMs, std::shared_ptr<void> place);
    // Ends the stream at once, queued or not (its budget place went to another link).
    void drop();

    // Seals one frame, the pieces joined in order, on the caller's thread
    // and queues it; frames queued while a write is under way leave together
    // in the next one, and with nothing under way the caller writes what the
    // socket takes at once. A large frame is sealed and written in parts, so
    // its first bytes travel (and are opened far away) while the rest is
    // being sealed. False before the handshake, after close, or for a frame
    // over the cap.
    bool send(const QVector<QByteArray> &pieces);
    // False from when the unsent bytes reach the cap until they fall below half of it.
    bool hasRoom() const;
    // Waits until hasRoom() (true) or the stream ends or timeoutMs passed
    // (false). Never waits on the I/O thread.
    bool waitForRoom(int timeoutMs);
    // The owner stops (true) or lets go on (false) the reading of arrivals,
    // e.g. while what it would make of them has nowhere to go.
    void holdReading(bool held);
    // The owner has frames it did not take yet (true) or took them all.
    void setArrivalsWaiting(bool waiting);
    // Sends what is queued (waiting a bounded time for a far side that does
    // not read), then closes; nothing more can be sent.
    void close();

    QString peerAddress() const;
    quint16 peerPort() const;

private:
    static int verifyPeer(int preverified, X509_STORE_CTX *context);
    // TLS reads the socket's bytes from m_netBuffer and writes into m_sealed.
    static int bioRead(BIO *bio, char *out, int length);
    static int bioWrite(BIO *bio, const char *data, int length);
    static BIO_METHOD *const s_bioMethod;

    bool startTls(bool accepting);
    void armDeadline(int timeoutMs);
    void onSocketReady();
    bool driveHandshake();
    void becomeSecured();
    void finish();
    bool sealReadyLocked();
    bool sealPartLocked(const char *plain, int length);
    bool endFrameLocked();
    void writeOrScheduleLocked();
    void scheduleFlushLocked();
    void flush();
    qint64 backlogLocked() const;
    void noteBacklogLocked();
    void armDrainDeadline(quint64 fullEpoch);
    void onRoom();
    void writeSome();
    void readOrPause();
    void resumeReading();
    void readSome();
    void onRead(const boost::system::error_code &error, std::size_t bytes);
    bool decrypt();
    bool parseFrames();
    void rememberPeer();
    void shutdown();

    boost::asio::io_context &m_io;
    const int m_maxFrameSize;
    Events m_events;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::ip::tcp::resolver m_resolver;
    boost::asio::steady_timer m_deadline; // handshake and admission, then closing
    boost::asio::steady_timer m_drainDeadline;
    const SendLimits m_sendLimits;

    // I/O thread only.
    std::shared_ptr<SSL_CTX> m_context; // outlives m_ssl
    QByteArray m_pinnedKey;             // DER of the far side's key (connecting side)
    Admission m_admission;
    bool m_awaitingAdmission = false;
    bool m_proven = false;
    bool m_awaitingReady = false; // connecting side, between handshake and ready frame
    QByteArray m_readBuffer;      // opened bytes: frames
    int m_readLength = 0;
    QByteArray m_cipherOut;       // the socket write under way
    int m_cipherOutAt = 0;        // of which this much is written
    bool m_readPaused = false;
    QByteArray m_netBuffer;       // what the last socket read brought
    bool m_finishing = false;
    bool m_ended = false;

    std::atomic<int> m_frameLimit;
    std::atomic<bool> m_readingHeld{false};
    std::atomic<bool> m_arrivalsWaiting{false};

    // Senders only: one frame is sealed at a time, in the order of the
    // senders, and m_scratch holds the part of a TLS record it has not
    // sealed yet.
    std::mutex m_sendMutex;
    QByteArray m_scratch;

    // Shared with the senders' threads. TLS runs over our own buffers under
    // this lock: senders seal their frames on their own threads (in queue
    // order), a batch of them leaves in one socket write, and arrivals are
    // opened on the I/O thread.
    mutable std::mutex m_mutex;
    SSL *m_ssl = nullptr;
    bool m_handshakeDone = false;
    int m_netAt = 0; // what TLS took of m_netBuffer
    int m_netEnd = 0;
    QByteArray m_sealed;     // what TLS wrote since the last socket write
    int m_sealedWritten = 0; // of which a sender wrote the front
    qint64 m_inFlight = 0;   // what the I/O thread's write has yet to write
    bool m_backlogFull = false;
    quint64 m_fullEpoch = 0; // counts the crossings of the cap
    std::condition_variable m_roomChanged;
    bool m_flushScheduled = false;
    bool m_secured = false;
    bool m_closing = false;
    int m_descriptor = -1; // the socket's, while secured
    QString m_peerAddress;
    quint16 m_peerPort = 0;
};
