#pragma once

// A foreign peer that speaks the links' wire form itself (TLS 1.3 with
// frames inside) through OpenSSL over memory buffers, so a test can send
// what a TcpConnection never would: malformed frames inside the session,
// and TLS records of its own replayed, reordered or damaged on the wire.
// Blocking; runs on the test thread without an event loop.

#include <KvrConfig.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QtEndian>

#include <openssl/err.h>
#include <openssl/ssl.h>

class RawTlsPeer
{
public:
    static constexpr int WaitMs = 10000;

    RawTlsPeer()
    {
        m_context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(m_context, TLS1_3_VERSION);
        SSL_CTX_set_verify(m_context, SSL_VERIFY_NONE, nullptr);
        m_ssl = SSL_new(m_context);
        m_in = BIO_new(BIO_s_mem());
        m_out = BIO_new(BIO_s_mem());
        SSL_set_bio(m_ssl, m_in, m_out); // owned by m_ssl from here on
        SSL_set_connect_state(m_ssl);
    }
    ~RawTlsPeer()
    {
        SSL_free(m_ssl);
        SSL_CTX_free(m_context);
        ERR_clear_error();
    }
    RawTlsPeer(const RawTlsPeer &) = delete;
    RawTlsPeer &operator=(const RawTlsPeer &) = delete;

    static QByteArray frame(const QByteArray &body)
    {
        return header(quint32(body.size())) + body;
    }
    static QByteArray frame(const KvrConfig &record) { return frame(record.SerializeConfigBinary()); }
    static QByteArray header(quint32 length)
    {
        char bytes[4];
        qToBigEndian(length, bytes);
        return QByteArray(bytes, 4);
    }

    // From `source` when given: any 127.x.y.z is a local address of its own.
    bool connect(quint16 port, const QHostAddress &source = QHostAddress())
    {
        if (!source.isNull() && !m_socket.bind(source))
            return false;
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return m_socket.waitForConnected(WaitMs);
    }
    // The TLS handshake and the accepting side's ready frame.
    bool handshake()
    {
        QDeadlineTimer deadline(WaitMs);
        for (;;) {
            const int result = SSL_do_handshake(m_ssl);
            sendRaw(takeOutput());
            if (result == 1)
                break;
            if (SSL_get_error(m_ssl, result) != SSL_ERROR_WANT_READ || !receiveRaw(deadline))
                return false;
        }
        return !readFrame().isEmpty();
    }

    // The first flight of a handshake, made but not sent (e.g. to send it slowly).
    QByteArray clientHello()
    {
        SSL_do_handshake(m_ssl);
        return takeOutput();
    }

    // The TLS records that carry `plain`, made but not sent.
    QByteArray seal(const QByteArray &plain)
    {
        SSL_write(m_ssl, plain.constData(), plain.size());
        return takeOutput();
    }
    // Sends `plain` inside the session as it is (frame headers included).
    void sendInside(const QByteArray &plain) { sendRaw(seal(plain)); }
    // Sends bytes on the TCP connection, beside TLS.
    void sendRaw(const QByteArray &bytes)
    {
        if (bytes.isEmpty() || m_socket.state() != QAbstractSocket::ConnectedState)
            return;
        m_socket.write(bytes);
        m_socket.waitForBytesWritten(WaitMs);
    }

    // The body of the next frame; empty when none came in time.
    QByteArray readFrame(int timeoutMs = WaitMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            char buffer[16384];
            int read = 0;
            while ((read = SSL_read(m_ssl, buffer, sizeof buffer)) > 0)
                m_plain.append(buffer, read);
            if (m_plain.size() >= 4) {
                const int length = int(qFromBigEndian<quint32>(m_plain.constData()));
                if (m_plain.size() >= 4 + length) {
                    const QByteArray body = m_plain.mid(4, length);
                    m_plain.remove(0, 4 + length);
                    return body;
                }
            }
            if (!receiveRaw(deadline))
                return QByteArray();
        }
    }

    // True once the far side closed the connection (within timeoutMs);
    // reads (and drops) whatever arrives meanwhile.
    bool waitUntilClosed(int timeoutMs = WaitMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        m_socket.setReadBufferSize(0);
        while (m_socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            if (m_socket.waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime())))))
                m_socket.readAll();
        }
        return m_socket.state() != QAbstractSocket::ConnectedState;
    }
    bool isOpen() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    // Leaves what arrives in the kernel's buffers, even while the thread's
    // events run: a far side that does not read.
    void stopReading() { m_socket.setReadBufferSize(1); }
    void close() { m_socket.abort(); }

private:
    QByteArray takeOutput()
    {
        QByteArray bytes;
        char buffer[16384];
        int read = 0;
        while ((read = BIO_read(m_out, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, read);
        return bytes;
    }
    bool receiveRaw(const QDeadlineTimer &deadline)
    {
        if (m_socket.bytesAvailable() == 0
            && !m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
        const QByteArray bytes = m_socket.readAll();
        BIO_write(m_in, bytes.constData(), bytes.size());
        return !bytes.isEmpty();
    }

    QTcpSocket m_socket;
    SSL_CTX *m_context = nullptr;
    SSL *m_ssl = nullptr;
    BIO *m_in = nullptr;
    BIO *m_out = nullptr;
    QByteArray m_plain;
};
