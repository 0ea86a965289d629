#pragma once

#include "basislib_global.h"

#include <QByteArray>
#include <QString>

// One datagram between a UDP link and the main server's rendezvous port.
//
// Both ends of a link send Join {session, own name, peer name, role} until the
// server answers. Paired carries the other end's IPv4 endpoint as the server
// saw it; Refused ends the attempt. A datagram is a four-byte magic followed by
// the binary form of a record, so raw rendezvous traffic can share one socket
// with the links' own traffic and is parsed by the record's checked reader.
class BASISLIB_EXPORT UdpRendezvousDatagram
{
public:
    enum class Type { Join, Paired, Refused };
    enum class Role { Initiator, Acceptor };

    // Anything larger is not a rendezvous datagram.
    static constexpr int MaxSize = 1024;
    static constexpr int MaxNameLength = 128;

    Type type = Type::Join;
    Role role = Role::Initiator;
    quint32 session = 0;
    QString own;       // Join: the sender's user name
    QString peer;      // Join: the user at the other end
    quint32 ipv4 = 0;  // Paired: the other end's address (host byte order)
    quint16 port = 0;  // Paired: the other end's port

    static UdpRendezvousDatagram join(quint32 session, Role role, const QString &own, const QString &peer);
    static UdpRendezvousDatagram paired(quint32 session, Role role, quint32 ipv4, quint16 port);
    static UdpRendezvousDatagram refused(quint32 session, Role role);

    // Empty when the datagram would not decode (a missing or too long name).
    QByteArray encode() const;

    // True when the bytes start like a rendezvous datagram (cheap; no parsing).
    static bool hasMagic(const char *data, int size);
    // False, leaving *out untouched, on any damage or an out-of-range value.
    static bool decode(const char *data, int size, UdpRendezvousDatagram *out);
};
