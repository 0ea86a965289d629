#pragma once

// A TCP proxy on 127.0.0.1 that passes bytes both ways between its clients
// and one target port and keeps a copy of everything that went through, to
// check what a link shows on the wire. Runs on a thread of its own, so the
// test thread may block in a link's waits.

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

class RecordingProxy : public QObject
{
public:
    explicit RecordingProxy(quint16 targetPort)
        : m_targetPort(targetPort)
    {
        m_thread.start();
        moveToThread(&m_thread);
        QMetaObject::invokeMethod(this, &RecordingProxy::listen, Qt::BlockingQueuedConnection);
    }
    ~RecordingProxy() override
    {
        QMetaObject::invokeMethod(this, [this] { delete m_server; m_server = nullptr; },
                                  Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    quint16 port() const { return m_port; }
    QByteArray recorded() const
    {
        QMutexLocker locker(&m_mutex);
        return m_recorded;
    }
    // Only what the clients sent, e.g. to replay it.
    QByteArray recordedFromClients() const
    {
        QMutexLocker locker(&m_mutex);
        return m_fromClients;
    }

private:
    void listen()
    {
        m_server = new QTcpServer;
        connect(m_server, &QTcpServer::newConnection, this, &RecordingProxy::accept);
        m_server->listen(QHostAddress::LocalHost, 0);
        m_port = m_server->serverPort();
    }

    void accept()
    {
        while (QTcpSocket *client = m_server->nextPendingConnection()) {
            auto *target = new QTcpSocket(client);
            target->connectToHost(QHostAddress::LocalHost, m_targetPort);
            pipe(client, target, true);
            pipe(target, client, false);
            connect(client, &QTcpSocket::disconnected, target, &QTcpSocket::disconnectFromHost);
            connect(target, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    }

    void pipe(QTcpSocket *from, QTcpSocket *to, bool fromClient)
    {
        auto forward = [this, from, to, fromClient] {
            const QByteArray bytes = from->readAll();
            {
                QMutexLocker locker(&m_mutex);
                m_recorded += bytes;
                if (fromClient)
                    m_fromClients += bytes;
            }
            to->write(bytes);
        };
        connect(from, &QTcpSocket::readyRead, this, forward);
        // Bytes that arrive before the far side is connected wait in its buffer.
        connect(to, &QTcpSocket::connected, this, forward);
    }

    quint16 m_targetPort;
    quint16 m_port = 0;
    QThread m_thread;
    QTcpServer *m_server = nullptr;
    mutable QMutex m_mutex;
    QByteArray m_recorded;
    QByteArray m_fromClients;
};
