#include "TunnelBroker.h"

#include "ServerSession.h"
#include "WCryptography.h"

#include <QLoggingCategory>
#include <QTimer>
#include <QUuid>
#include <QVariant>

Q_LOGGING_CATEGORY(lcTunnels, "wivora.tunnels")

TunnelBroker::TunnelBroker(int joinTimeoutMs, QObject *parent)
    : TunnelBroker(joinTimeoutMs, Limits(), parent)
{
}

TunnelBroker::TunnelBroker(int joinTimeoutMs, const Limits &limits, QObject *parent)
    : QObject(parent)
    , m_joinTimeoutMs(joinTimeoutMs)
    , m_limits(limits)
{
}

TunnelBroker::~TunnelBroker() = default;

QString TunnelBroker::newTunnelId()
{
    // The id is the acceptor's only credential: draw it from the system's
    // cryptographic source and shape it as a version 4 UUID.
    QByteArray bytes = WCryptography::GenerateRandom(16);
    if (bytes.size() != 16)
        return QString();
    bytes[6] = char((bytes[6] & 0x0f) | 0x40);
    bytes[8] = char((bytes[8] & 0x3f) | 0x80);
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithBraces);
}

QString TunnelBroker::open(ServerSession *initiator, const QString &initiatorUser, const QString &peer,
                           bool peerKnowsInitiator, QString *refusal)
{
    const QString own = initiatorUser.toLower();
    const QString to = peer.toLower();
    const auto ofInitiator = [&own](const Tunnel &tunnel) { return tunnel.initiatorUser == own; };
    const auto toPeer = [&to](const Tunnel &tunnel) { return tunnel.peer == to; };
    const auto everyTunnel = [](const Tunnel &) { return true; };

    QString reason;
    if (countOf(ofInitiator) >= m_limits.perInitiator) {
        reason = QStringLiteral("you have %1 tunnels open, the most the server keeps for one user")
                     .arg(m_limits.perInitiator);
    } else if (!peerKnowsInitiator
               && countOf([&](const Tunnel &tunnel) { return ofInitiator(tunnel) && toPeer(tunnel); })
                      >= m_limits.perStrangerPair) {
        reason = QStringLiteral("%1 has not made you a contact: %2 tunnels to them at most")
                     .arg(to)
                     .arg(m_limits.perStrangerPair);
    } else if (!makeRoom(toPeer, m_limits.perPeer, own)) {
        reason = QStringLiteral("%1 receives as many tunnels as the server keeps for one user").arg(to);
    } else if (!makeRoom(everyTunnel, m_limits.total, own)) {
        reason = QStringLiteral("the server holds as many tunnels as it can");
    }
    if (!reason.isEmpty()) {
        qCWarning(lcTunnels).noquote() << "tunnel from" << own << "to" << to << "refused:" << reason;
        if (refusal)
            *refusal = reason;
        return QString();
    }

    const QString id = newTunnelId();
    if (id.isEmpty() || m_tunnels.contains(id))
        return QString();
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setProperty("tunnelId", id);
    connect(timer, &QTimer::timeout, this, &TunnelBroker::slotJoinTimeout);
    timer->start(m_joinTimeoutMs);
    Tunnel tunnel;
    tunnel.initiator = initiator;
    tunnel.initiatorUser = own;
    tunnel.peer = to;
    tunnel.serial = m_nextSerial++;
    tunnel.timer = timer;
    m_tunnels.insert(id, tunnel);
    return id;
}

int TunnelBroker::countOf(const Scope &scope) const
{
    int count = 0;
    for (const Tunnel &tunnel : m_tunnels) {
        if (scope(tunnel))
            ++count;
    }
    return count;
}

bool TunnelBroker::makeRoom(const Scope &scope, int cap, const QString &requester)
{
    QHash<QString, int> held;
    int inScope = 0;
    for (const Tunnel &tunnel : qAsConst(m_tunnels)) {
        if (scope(tunnel)) {
            ++held[tunnel.initiatorUser];
            ++inScope;
        }
    }
    if (inScope < cap)
        return true;
    QString largest;
    for (auto it = held.cbegin(); it != held.cend(); ++it) {
        if (largest.isEmpty() || it.value() > held.value(largest))
            largest = it.key();
    }
    // Only for a clearly larger holder: two equal ones would otherwise take
    // each other's tunnels in turn.
    if (largest.isEmpty() || held.value(largest) <= held.value(requester) + 1)
        return false;
    QString oldest;
    quint64 oldestSerial = 0;
    for (auto it = m_tunnels.cbegin(); it != m_tunnels.cend(); ++it) {
        if (it->initiatorUser == largest && scope(*it) && (oldest.isEmpty() || it->serial < oldestSerial)) {
            oldest = it.key();
            oldestSerial = it->serial;
        }
    }
    qCWarning(lcTunnels).noquote() << "tunnel of" << largest << "to" << m_tunnels.value(oldest).peer
                                   << "dropped to make room for" << requester;
    drop(oldest);
    return true;
}

ServerSession *TunnelBroker::join(const QString &id, ServerSession *acceptor)
{
    const auto it = m_tunnels.find(id);
    if (it == m_tunnels.end() || it->acceptor || !it->initiator)
        return nullptr;
    it->acceptor = acceptor;
    if (it->timer) {
        it->timer->deleteLater();
        it->timer = nullptr;
    }
    return it->initiator.data();
}

void TunnelBroker::release(ServerSession *leg)
{
    const QList<QString> ids = m_tunnels.keys();
    for (const QString &id : ids) {
        const Tunnel &tunnel = m_tunnels[id];
        const bool joined = tunnel.timer == nullptr;
        // A leg already deleted counts as ended too.
        if (tunnel.initiator == leg || tunnel.acceptor == leg || !tunnel.initiator || (joined && !tunnel.acceptor))
            remove(id);
    }
}

void TunnelBroker::remove(const QString &id)
{
    const Tunnel tunnel = m_tunnels.take(id);
    if (tunnel.timer)
        tunnel.timer->deleteLater();
}

void TunnelBroker::drop(const QString &id)
{
    const Tunnel tunnel = m_tunnels.value(id);
    remove(id);
    // Either leg's end closes the other one as well.
    if (tunnel.initiator)
        tunnel.initiator->closeLink();
    if (tunnel.acceptor)
        tunnel.acceptor->closeLink();
}

void TunnelBroker::slotJoinTimeout()
{
    drop(sender()->property("tunnelId").toString());
}
