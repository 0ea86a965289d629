#include "MainServer.h"

#include "PendingLinkBudget.h"
#include "ServerContext.h"
#include "ServerSession.h"
#include "TcpConnection.h"

#include <QSharedPointer>

MainServer::MainServer(ServerContext &context, QObject *parent)
    : QTcpServer(parent)
    , m_context(context)
    , m_pendingBudget(std::make_shared<PendingLinkBudget>())
{
}

MainServer::~MainServer()
{
    // Sessions first: their links must not report to half-destroyed sessions.
    const QList<ServerSession *> sessions = findChildren<ServerSession *>(QString(), Qt::FindDirectChildrenOnly);
    for (ServerSession *session : sessions) {
        session->closeLink();
        delete session;
    }
}

int MainServer::sessionCount() const
{
    return findChildren<ServerSession *>(QString(), Qt::FindDirectChildrenOnly).size();
}

void MainServer::incomingConnection(qintptr descriptor)
{
    // The link's own thread may report after the last owner let go: delete it
    // through the event loop of this thread.
    QSharedPointer<TcpConnection> link(new TcpConnection, &QObject::deleteLater);
    link->setKeyPair(m_context.keys.publicKey, m_context.keys.privateKey);
    link->setPendingBudget(m_pendingBudget);
    auto *session = new ServerSession(m_context, link, this);
    connect(session, &ServerSession::signalSessionEnded, session, &QObject::deleteLater);
    if (!link->setSocketDesctiptor(descriptor))
        delete session;
}
