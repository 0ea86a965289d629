#pragma once

#include "TcpConnection.h"
#include "web/WebLocalBridge.h"

#include <QHash>
#include <QMutex>
#include <QSharedPointer>
#include <QStringList>

class ServerSession;

// Who is online: each logged-in user's main link and its session. Sessions
// bind and unbind on the server's main thread; the look-ups and pushes are
// safe from any thread (the web server and the UDP rendezvous ask from their
// own threads). It is also the web server's road to a user's client.
class SessionRegistry : public WebLocalBridge
{
public:
    // Makes session the user's main session and returns the one it replaces
    // (null when there was none). Main thread only.
    ServerSession *bind(const QString &user, ServerSession *session,
                        const QSharedPointer<TcpConnection> &link);
    // Removes the user's entry when it still belongs to session; true then.
    bool unbind(const QString &user, ServerSession *session);

    bool isOnline(const QString &user) const;
    QStringList onlineAmong(const QStringList &users) const;
    // The address the user's main link comes from; empty when offline.
    QString peerAddressOf(const QString &user) const;
    // Sends record on the user's main link; false when the user is offline.
    bool push(const QString &user, const KvrConfig &record) const;

    // Sends a "WebLocal::" request to the user's client and waits for its
    // reply with the same "ID" (from the web server's threads).
    KvrConfig askUser(const QString &user, const KvrConfig &request, int timeoutMs) override;

private:
    struct Entry
    {
        ServerSession *session = nullptr;
        QSharedPointer<TcpConnection> link;
    };

    QSharedPointer<TcpConnection> linkOf(const QString &user) const;

    mutable QMutex m_mutex;
    QHash<QString, Entry> m_online;
};
