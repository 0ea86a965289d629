#include "WakeUpServer.h"

#include "ClientLogging.h"
#include "SingleInstanceGuard.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtDebug>

WakeUpServer::WakeUpServer(QObject *parent)
    : QObject(parent), m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &WakeUpServer::slotNewConnection);
}

WakeUpServer::~WakeUpServer() = default;

bool WakeUpServer::listen(const QString &serverName)
{
    QLocalServer::removeServer(serverName);
    if (!m_server->listen(serverName)) {
        qWarning().noquote() << "cannot listen for wake-up requests on" << serverName << ":"
                             << m_server->errorString();
        return false;
    }
    return true;
}

bool WakeUpServer::isListening() const
{
    return m_server->isListening();
}

void WakeUpServer::slotNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
        // A peer that neither completes its request nor leaves is dropped.
        QTimer::singleShot(ConnectionTimeoutMs, socket, [socket] { socket->abort(); });
        readRequest(socket);
    }
}

void WakeUpServer::readRequest(QLocalSocket *socket)
{
    const QByteArray &request = SingleInstanceGuard::WakeUpRequest;
    const QByteArray received = socket->peek(request.size() + 1);
    if (received == request) {
        socket->readAll();
        qCDebug(lcStartup, "wake-up request answered");
        emit signalWakeUp();
        socket->write(SingleInstanceGuard::RunningAnswer);
        socket->flush();
    } else if (!request.startsWith(received)) {
        socket->abort(); // not a wake-up request: no answer
    }
    // Otherwise a part of the request is there; wait for the rest.
}
