#include "UdpRendezvousDatagram.h"

#include "KvrConfig.h"

#include <QHostAddress>

#include <cstring>

namespace {

const QByteArray kMagic = QByteArrayLiteral("WVRV");

const QString kType = QStringLiteral("type");
const QString kRole = QStringLiteral("role");
const QString kSession = QStringLiteral("session");
const QString kOwn = QStringLiteral("own");
const QString kPeer = QStringLiteral("peer");
const QString kAddress = QStringLiteral("address");
const QString kPort = QStringLiteral("port");

const char *typeName(UdpRendezvousDatagram::Type type)
{
    switch (type) {
    case UdpRendezvousDatagram::Type::Join:
        return "join";
    case UdpRendezvousDatagram::Type::Paired:
        return "paired";
    case UdpRendezvousDatagram::Type::Refused:
        return "refused";
    }
    return "";
}

bool validName(const QString &name)
{
    return !name.isEmpty() && name.size() <= UdpRendezvousDatagram::MaxNameLength;
}

} // namespace

UdpRendezvousDatagram UdpRendezvousDatagram::join(quint32 session, Role role, const QString &own,
                                                  const QString &peer)
{
    UdpRendezvousDatagram d;
    d.type = Type::Join;
    d.role = role;
    d.session = session;
    d.own = own;
    d.peer = peer;
    return d;
}

UdpRendezvousDatagram UdpRendezvousDatagram::paired(quint32 session, Role role, quint32 ipv4, quint16 port)
{
    UdpRendezvousDatagram d;
    d.type = Type::Paired;
    d.role = role;
    d.session = session;
    d.ipv4 = ipv4;
    d.port = port;
    return d;
}

UdpRendezvousDatagram UdpRendezvousDatagram::refused(quint32 session, Role role)
{
    UdpRendezvousDatagram d;
    d.type = Type::Refused;
    d.role = role;
    d.session = session;
    return d;
}

QByteArray UdpRendezvousDatagram::encode() const
{
    KvrConfig record;
    record.SetValue(kType, typeName(type));
    record.SetValue(kRole, role == Role::Initiator ? "initiator" : "acceptor");
    record.SetValue(kSession, QString::number(session));
    if (type == Type::Join) {
        if (!validName(own) || !validName(peer))
            return {};
        record.SetValue(kOwn, own);
        record.SetValue(kPeer, peer);
    } else if (type == Type::Paired) {
        record.SetValue(kAddress, QHostAddress(ipv4).toString());
        record.SetValue(kPort, QString::number(port));
    }
    const QByteArray bytes = kMagic + record.SerializeConfigBinary();
    return bytes.size() <= MaxSize ? bytes : QByteArray();
}

bool UdpRendezvousDatagram::hasMagic(const char *data, int size)
{
    return size >= kMagic.size() && memcmp(data, kMagic.constData(), size_t(kMagic.size())) == 0;
}

bool UdpRendezvousDatagram::decode(const char *data, int size, UdpRendezvousDatagram *out)
{
    if (!out || size > MaxSize || !hasMagic(data, size))
        return false;
    KvrConfig record;
    if (!record.DeserializeConfigBinary(QByteArray(data + kMagic.size(), size - kMagic.size())))
        return false;

    UdpRendezvousDatagram d;
    const QByteArray type = record.GetValue(kType);
    if (type == "join")
        d.type = Type::Join;
    else if (type == "paired")
        d.type = Type::Paired;
    else if (type == "refused")
        d.type = Type::Refused;
    else
        return false;

    const QByteArray role = record.GetValue(kRole);
    if (role == "initiator")
        d.role = Role::Initiator;
    else if (role == "acceptor")
        d.role = Role::Acceptor;
    else
        return false;

    bool ok = false;
    d.session = record.gv(kSession).toUInt(&ok);
    if (!ok)
        return false;

    if (d.type == Type::Join) {
        d.own = record.gv(kOwn);
        d.peer = record.gv(kPeer);
        if (!validName(d.own) || !validName(d.peer))
            return false;
    } else if (d.type == Type::Paired) {
        const QHostAddress address(record.gv(kAddress));
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            return false;
        d.ipv4 = address.toIPv4Address();
        const uint port = record.gv(kPort).toUInt(&ok);
        if (!ok || port == 0 || port > 0xffff)
            return false;
        d.port = quint16(port);
    }
    *out = d;
    return true;
}
