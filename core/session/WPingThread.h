#pragma once

#include "CheckingThread.h"

#include <KvrConfig.h>

#include <QMutex>

#include <functional>

class SessionState;

// Keeps the main-server link alive: every ping interval (while checking is
// on) it pings the server and re-announces the own status. A ping that fails
// on a connected link reports the link lost; a link that is not connected is
// left to the reconnect already under way.
//
// The peer links are walked far more often (every peer-check interval), so
// a link whose peer vanished is noticed and closed well before requests on it
// pile up.
class WPingThread : public CheckingThread
{
    Q_OBJECT

public:
    static constexpr int DefaultPingIntervalMs = 90000;
    static constexpr int DefaultPeerCheckIntervalMs = 10000;

    // Walks the peer links with the loop's keep-alive record ({"ID", "command"
    // = "ping"}); it should return early once stopRequested() gives true.
    // The link manager installs it; without one, only the server is pinged.
    using PeerLinkWalk =
        std::function<void(const KvrConfig &keepAlive, const std::function<bool()> &stopRequested)>;

    explicit WPingThread(SessionState *session, QObject *parent = nullptr);
    ~WPingThread() override;

    int pingIntervalMs() const { return m_pingIntervalMs; }
    void setPingIntervalMs(int ms) { m_pingIntervalMs = qMax(0, ms); }

    int peerCheckIntervalMs() const { return m_peerCheckIntervalMs; }
    void setPeerCheckIntervalMs(int ms) { m_peerCheckIntervalMs = qMax(0, ms); }

    void setPeerLinkWalk(PeerLinkWalk walk);

signals:
    void signalMainConnectionLost();

protected:
    void runLoop() override;

private:
    void pingServer();
    PeerLinkWalk peerLinkWalk() const;

    SessionState *const m_session;
    std::atomic<int> m_pingIntervalMs{DefaultPingIntervalMs};
    std::atomic<int> m_peerCheckIntervalMs{DefaultPeerCheckIntervalMs};

    mutable QMutex m_walkMutex;
    PeerLinkWalk m_peerLinkWalk;
};
