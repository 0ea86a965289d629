#include "WUdpConnection.h"

WUdpConnection::WUdpConnection(QSharedPointer<UdpTower> tower, QObject *parent)
    : UdpConnection(std::move(tower), parent)
    , m_state(PeerLink)
{
    connect(this, &UdpConnection::signalConnectionEnded, this, &WUdpConnection::slotConnectionEnded);
    // Directly, on the thread that announces the record: a record the route
    // takes reaches its receiver without another thread's wake-up.
    connect(
        this, &UdpConnection::signalCommandReceived, this,
        [this](const QString &id, const QString &command) {
            if (!m_state.routeOnArrival(id, command))
                emit signalCommandToFilter(id, command);
        },
        Qt::DirectConnection);
}

bool WUdpConnection::disconnectFromHost()
{
    m_state.setClosed();
    UdpConnection::disconnectFromHost();
    return true;
}

bool WUdpConnection::pushCommand(const KvrConfig &record)
{
    m_state.noteSent(record);
    return UdpConnection::pushCommand(record);
}

KvrConfig WUdpConnection::getCommand(const QString &id, int timeoutMs)
{
    return UdpConnection::getCommand(id, timeoutMs);
}

KvrConfig WUdpConnection::sendCommand(const KvrConfig &record, int timeoutMs)
{
    m_state.noteSent(record);
    return UdpConnection::sendCommand(record, timeoutMs);
}

bool WUdpConnection::isConnected() const
{
    return !m_state.isClosed() && UdpConnection::isConnected();
}

void WUdpConnection::slotConnectionEnded()
{
    m_state.setClosed();
}
