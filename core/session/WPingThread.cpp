#include "WPingThread.h"

#include "SessionState.h"

#include <NetworkUtilities.h>
#include <TcpConnection.h>
#include <WServerCommands.h>
#include <WivoraAccount.h>

#include <QElapsedTimer>
#include <QMutexLocker>

WPingThread::WPingThread(SessionState *session, QObject *parent)
    : CheckingThread(parent)
    , m_session(session)
{
}

WPingThread::~WPingThread()
{
    finish();
}

void WPingThread::setPeerLinkWalk(PeerLinkWalk walk)
{
    QMutexLocker lock(&m_walkMutex);
    m_peerLinkWalk = std::move(walk);
}

WPingThread::PeerLinkWalk WPingThread::peerLinkWalk() const
{
    QMutexLocker lock(&m_walkMutex);
    return m_peerLinkWalk;
}

void WPingThread::runLoop()
{
    KvrConfig keepAlive;
    keepAlive.SetValue(QStringLiteral("ID"), NetworkUtilities::GetGuid());
    keepAlive.SetValue(QStringLiteral("command"), "ping");

    QElapsedTimer sinceServerPing;
    sinceServerPing.start();
    QElapsedTimer sincePeerCheck;
    sincePeerCheck.start();
    while (!stopRequested()) {
        if (isChecking() && sinceServerPing.elapsed() > m_pingIntervalMs) {
            pingServer();
            sinceServerPing.restart();
        }
        if (isChecking() && sincePeerCheck.elapsed() > m_peerCheckIntervalMs) {
            if (const PeerLinkWalk walk = peerLinkWalk())
                walk(keepAlive, [this] { return stopRequested(); });
            sincePeerCheck.restart();
        }
        if (stopRequested())
            return;
        pause(stepMs());
    }
}

void WPingThread::pingServer()
{
    if (!m_session)
        return;
    const QSharedPointer<TcpConnection> link = m_session->serverLink();
    if (!link || !link->isConnected())
        return;
    if (WServerCommands::Ping(link))
        WServerCommands::UpdateUserStatus(m_session->account()->getStatus(), link);
    else
        emit signalMainConnectionLost();
}
