#pragma once

// Many links that never finish their TLS handshake, from many local source
// addresses (127.1.0.1 and up: all of 127/8 is this machine's), each renewed
// as soon as the far side drops it. Every link sends a ClientHello, so the
// far side does its part of a handshake for each, then waits in vain. Runs
// on a thread of its own, so the test thread may block meanwhile.

#include "RawTlsPeer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

class PendingLinkFlood
{
public:
    PendingLinkFlood(quint16 port, int links, int addresses)
        : m_port(port)
        , m_links(links)
        , m_addresses(addresses)
        , m_hello(RawTlsPeer().clientHello())
    {
        m_context.moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(&m_context, [this] { open(); }, Qt::BlockingQueuedConnection);
    }
    ~PendingLinkFlood()
    {
        QMetaObject::invokeMethod(
            &m_context, [this] { m_sockets.clear(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    PendingLinkFlood(const PendingLinkFlood &) = delete;
    PendingLinkFlood &operator=(const PendingLinkFlood &) = delete;

    // Links whose ClientHello went out, counting renewals.
    int helloesSent() const { return m_helloes; }
    // Links the far side dropped (each was renewed).
    int dropped() const { return m_dropped; }

private:
    void open()
    {
        m_sockets.reserve(std::size_t(m_links));
        for (int i = 0; i < m_links; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            QTcpSocket *raw = socket.get();
            const QHostAddress source(QStringLiteral("127.1.0.%1").arg(1 + i % m_addresses));
            QObject::connect(raw, &QTcpSocket::connected, raw, [this, raw] {
                raw->write(m_hello);
                ++m_helloes;
            });
            QObject::connect(raw, &QTcpSocket::readyRead, raw, [raw] { raw->readAll(); });
            QObject::connect(raw, &QTcpSocket::disconnected, raw, [this, raw, source] {
                ++m_dropped;
                renew(raw, source);
            });
            QObject::connect(raw, &QAbstractSocket::errorOccurred, raw, [this, raw, source] {
                if (raw->state() != QAbstractSocket::ConnectedState)
                    renew(raw, source);
            });
            m_sockets.push_back(std::move(socket));
            dial(raw, source);
        }
    }
    void renew(QTcpSocket *socket, const QHostAddress &source)
    {
        // Not from inside the socket's own signal.
        QMetaObject::invokeMethod(
            socket,
            [this, socket, source] {
                if (socket->state() == QAbstractSocket::UnconnectedState)
                    dial(socket, source);
            },
            Qt::QueuedConnection);
    }
    void dial(QTcpSocket *socket, const QHostAddress &source)
    {
        socket->bind(source);
        socket->connectToHost(QHostAddress::LocalHost, m_port);
    }

    const quint16 m_port;
    const int m_links;
    const int m_addresses;
    const QByteArray m_hello;
    QThread m_thread;
    QObject m_context;
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets; // flood thread only
    std::atomic<int> m_helloes{0};
    std::atomic<int> m_dropped{0};
};
