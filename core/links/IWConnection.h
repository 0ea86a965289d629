#pragma once

#include <KvrConfig.h>

#include <QByteArray>
#include <QString>

// One open record link to another user's client, as the link layer manages
// it: the transport's calls plus the peer's user name, the kind of link, an
// identifier, the sender's idleness, a closed flag and the authentication
// state. Implemented over TCP (WTcpConnection) and UDP (WUdpConnection).
//
// Every operation may be called from any thread.
class IWConnection
{
public:
    // Connection types.
    static constexpr int ServerModeLink = 0;
    static constexpr int PeerLink = 1;

    virtual ~IWConnection() = default;

    virtual QString getUser() const = 0;
    virtual void setUser(const QString &user) = 0;
    virtual int getConnectionType() const = 0;
    virtual void setConnectionType(int type) = 0;
    // Ends the link; it counts as closed at once. Always true.
    virtual bool disconnectFromHost() = 0;
    // Sends without waiting; false when the link cannot carry the record.
    virtual bool pushCommand(const KvrConfig &record) = 0;
    // Waits at most timeoutMs until what waits to be sent on the link is
    // below its cap; false when the time passed or the link ended.
    virtual bool waitForSendRoom(int timeoutMs) = 0;
    // The arrived record with that "ID", waiting at most timeoutMs; empty when none came.
    virtual KvrConfig getCommand(const QString &id, int timeoutMs) = 0;
    // Sends and waits at most timeoutMs for the answer with the same "ID"; empty when none came.
    virtual KvrConfig sendCommand(const KvrConfig &record, int timeoutMs) = 0;
    // Whole seconds since this side last sent a record other than a keep-alive.
    virtual int getIdleSeconds() const = 0;
    virtual bool isConnected() const = 0;
    virtual bool isClosed() const = 0;
    virtual void setClosed() = 0;
    // The challenge this side handed to the peer.
    virtual void setAuthString(const QByteArray &challenge) = 0;
    virtual QByteArray getAuthString() const = 0;
    virtual bool isAuthenticated() const = 0;
    virtual void setAuthenticated(bool authenticated) = 0;
    // The peer of a link accepted from a stranger proved `user`: a contact's
    // link is admitted (the limits of links from strangers end), anybody
    // else's keeps them and a place among the links proving that name; false
    // when that name holds all of them (the proof is refused).
    virtual bool admitProvenPeer(const QString &user, bool contact) = 0;
    virtual void createConnectionID() = 0;
    virtual QString getConnectionID() const = 0;
};
