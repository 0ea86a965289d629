#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;
class ServerSession;

// Tunnels that wait for their peer: each has a single-use random id (a braced
// UUID) that only the peer learns, through the push the server sends it. A
// tunnel nobody joins within the join time-out is dropped and its initiator's
// link closed. Main thread only.
class TunnelBroker : public QObject
{
    Q_OBJECT
public:
    explicit TunnelBroker(int joinTimeoutMs, QObject *parent = nullptr);
    ~TunnelBroker() override;

    // Registers a tunnel from initiator to peer and returns its id.
    QString open(ServerSession *initiator, const QString &peer);
    // Hands out the waiting initiator of id and forgets the id; null for an
    // unknown, used or expired id, or an initiator whose link is gone.
    ServerSession *join(const QString &id);
    // Forgets every tunnel of initiator (its link ended before a join).
    void cancel(ServerSession *initiator);
    int pendingCount() const { return m_pending.size(); }

private slots:
    void slotJoinTimeout();

private:
    struct Pending
    {
        QPointer<ServerSession> initiator;
        QString peer;
        QTimer *timer = nullptr;
    };

    static QString newTunnelId();
    void remove(const QString &id);

    int m_joinTimeoutMs;
    QHash<QString, Pending> m_pending;
};
