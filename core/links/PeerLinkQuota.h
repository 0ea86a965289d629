#pragma once

#include <ServerProtocol.h>

#include <QHash>
#include <QString>

// How many links that peers open to this client through the main server
// (tunnels, and UDP links its rendezvous announces) it keeps, per peer and in
// all. Each takes a worker while it is joined, then a socket or a UDP peer
// and buffers here, and the server asks for them on the peer's word alone.
//
// A stranger (not in the contacts) reaches only what plug-ins grant one, a
// conversation at most, so it gets as few links as the server gives it
// (ServerProtocol::MaxTunnelsFromStranger); a contact gets room for transfers
// side by side. A full total never shuts out a peer holding few: the peer
// holding clearly most gives up one of its links instead.
class PeerLinkQuota
{
public:
    struct Limits
    {
        // A peer link and a server-mode link per transfer running at once
        // (the transfer manager lets a user choose dozens), with room for
        // ones being replaced.
        int perContact = 64;
        int perStranger = ServerProtocol::MaxTunnelsFromStranger;
        // Every peer's links together: a socket each.
        int total = 256;
    };
    struct Decision
    {
        bool admitted = false;
        // When set, one link of this peer must close first.
        QString dropOneOf;
    };

    PeerLinkQuota();
    explicit PeerLinkQuota(const Limits &limits);

    const Limits &limits() const { return m_limits; }

    // What to do with a new link from peer while held (peer → links) stand.
    Decision admit(const QHash<QString, int> &held, const QString &peer, bool isContact) const;

private:
    Limits m_limits;
};
