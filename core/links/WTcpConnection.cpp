#include "WTcpConnection.h"

WTcpConnection::WTcpConnection(QObject *parent)
    : TcpConnection(parent)
    , m_state(PeerLink)
{
    connect(this, &TcpConnection::signalConnectionEnded, this, &WTcpConnection::slotConnectionEnded);
    // Directly, on the thread that announces the record: a record the route
    // takes reaches its receiver without another thread's wake-up.
    connect(
        this, &TcpConnection::signalCommandReceived, this,
        [this](const QString &id, const QString &command) {
            if (!m_state.routeOnArrival(id, command))
                emit signalCommandToFilter(id, command);
        },
        Qt::DirectConnection);
}

bool WTcpConnection::disconnectFromHost()
{
    m_state.setClosed();
    TcpConnection::disconnectFromHost();
    return true;
}

bool WTcpConnection::pushCommand(const KvrConfig &record)
{
    m_state.noteSent(record);
    return TcpConnection::pushCommand(record);
}

KvrConfig WTcpConnection::getCommand(const QString &id, int timeoutMs)
{
    return TcpConnection::getCommand(id, timeoutMs);
}

KvrConfig WTcpConnection::sendCommand(const KvrConfig &record, int timeoutMs)
{
    m_state.noteSent(record);
    return TcpConnection::sendCommand(record, timeoutMs);
}

bool WTcpConnection::admitProvenPeer(const QString &user, bool contact)
{
    if (!contact)
        return holdAsProven(user);
    admit();
    return true;
}

bool WTcpConnection::isConnected() const
{
    return !m_state.isClosed() && TcpConnection::isConnected();
}

void WTcpConnection::slotConnectionEnded()
{
    m_state.setClosed();
}
