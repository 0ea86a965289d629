#pragma once

#include <QSharedPointer>
#include <QString>

class TcpConnection;

// The process-wide record of which link is each user's main-server link.
// A successful login registers its link; server commands that take no link
// (contact relations, host look-ups, relaying, queries) find it here. An
// entry goes away when its link ends and is never handed out while its link
// is not connected.
class ServerLinkRegistry
{
public:
    ServerLinkRegistry() = delete;

    static void registerLink(const QString &user, const QSharedPointer<TcpConnection> &link);
    // The connected main link of that user (names compare without regard to
    // case); null when there is none.
    static QSharedPointer<TcpConnection> linkOf(const QString &user);
    // The connected main link registered last; null when there is none.
    static QSharedPointer<TcpConnection> currentLink();
};
