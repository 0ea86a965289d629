#pragma once

#include "ServerProtocol.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QTimer;
class ServerSession;

// Tunnels between users, from the request until either leg ends. Each has a
// single-use random id (a braced UUID) that only the peer learns, through the
// push the server sends it. A tunnel nobody joins within the join time-out is
// dropped and its initiator's link closed.
//
// Every tunnel, waiting or joined, holds two of the server's sockets and
// makes the peer's client hold one, so their number is capped per initiator,
// per peer and in all, and a stranger (someone the peer has not made a
// contact) gets only a few to that peer. A full per-peer or overall cap never
// shuts out a user holding few: the initiator holding most there gives up
// its oldest tunnel. Main thread only.
class TunnelBroker : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        // A client opens a tunnel per link when direct roads fail: a peer
        // link and a server-mode link per contact it talks to, more while
        // transfers run side by side (each opens its own link), some being
        // replaced after a lost road. 128 covers dozens of busy contacts.
        int perInitiator = 128;
        // The same from the receiving side: many contacts reaching one user.
        int perPeer = 128;
        // Two sockets each: 4096 descriptors at the most, which the
        // server's host must allow beside its users' main links.
        int total = 2048;
        int perStrangerPair = ServerProtocol::MaxTunnelsFromStranger;
    };

    explicit TunnelBroker(int joinTimeoutMs, QObject *parent = nullptr);
    TunnelBroker(int joinTimeoutMs, const Limits &limits, QObject *parent = nullptr);
    ~TunnelBroker() override;

    // Registers a tunnel from initiator, signed in as initiatorUser, to peer
    // and returns its id. Empty when a cap refuses it, with the reason in
    // *refusal (for people).
    QString open(ServerSession *initiator, const QString &initiatorUser, const QString &peer,
                 bool peerKnowsInitiator, QString *refusal);
    // Pairs acceptor with the waiting initiator of id and returns that
    // initiator; null for an unknown, joined or expired id, or an initiator
    // whose link is gone.
    ServerSession *join(const QString &id, ServerSession *acceptor);
    // Forgets every tunnel leg is an end of (its link ended).
    void release(ServerSession *leg);
    int tunnelCount() const { return m_tunnels.size(); }

private slots:
    void slotJoinTimeout();

private:
    struct Tunnel
    {
        QPointer<ServerSession> initiator;
        QPointer<ServerSession> acceptor; // null while it waits
        QString initiatorUser;
        QString peer;
        quint64 serial = 0; // opening order: the oldest gives way first
        QTimer *timer = nullptr; // the join time-out, while it waits
    };
    using Scope = std::function<bool(const Tunnel &)>;

    static QString newTunnelId();
    int countOf(const Scope &scope) const;
    // True when a tunnel of requester fits within cap in scope, after the
    // initiator holding most there (clearly more than requester) gave up its
    // oldest one.
    bool makeRoom(const Scope &scope, int cap, const QString &requester);
    void remove(const QString &id);
    // Removes the tunnel and closes both its legs.
    void drop(const QString &id);

    const int m_joinTimeoutMs;
    const Limits m_limits;
    QHash<QString, Tunnel> m_tunnels;
    quint64 m_nextSerial = 0;
};
