#include "WTcpServer.h"

#include "SessionState.h"
#include "WCommonOperations.h"

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
    if (isListening())
        close();
    if (listen(QHostAddress::AnyIPv4, quint16(port)))
        return true;
    // Another program (or another client of this machine) holds the port:
    // peers then cannot reach this client directly.
    qWarning().noquote() << "cannot listen for user links on port" << port << ":" << errorString();
    return false;
}

void WTcpServer::incomingConnection(qintptr socketDescriptor)
{
    emit signalNewConnectionArrived(int(socketDescriptor));
}
