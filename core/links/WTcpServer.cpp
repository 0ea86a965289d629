#include "WTcpServer.h"

#include "SessionState.h"
#include "WCommonOperations.h"

#include <NetworkUtilities.h>

#include <QtDebug>

WTcpServer::WTcpServer(SessionState *session, QObject *parent)
    : QTcpServer(parent)
    , m_session(session)
{
}

bool WTcpServer::startListening()
{
    if (m_session->userName().isEmpty())
        return false;
    const int port = WCommonOperations::listeningPort(m_session->account());
    stopListening();
    if (!listen(QHostAddress::AnyIPv4, quint16(port))) {
        const QString reason = errorString();
        // Without a port peers could not reach this client directly.
        if (!listen(QHostAddress::AnyIPv4, 0)) {
            qWarning().noquote() << "cannot listen for user links on port" << port << ":" << reason;
            return false;
        }
        qWarning().noquote().nospace() << "port " << port << " is not free (" << reason
                                       << "): listening for user links on port " << serverPort() << " instead";
    }
    NetworkUtilities::widenAcceptQueue(socketDescriptor());
    m_session->setListeningPort(serverPort());
    return true;
}

void WTcpServer::stopListening()
{
    close();
    m_session->setListeningPort(0);
}

void WTcpServer::incomingConnection(qintptr socketDescriptor)
{
    emit signalNewConnectionArrived(int(socketDescriptor));
}
