#include "TunnelBroker.h"

#include "ServerSession.h"
#include "WCryptography.h"

#include <QTimer>
#include <QUuid>
#include <QVariant>

TunnelBroker::TunnelBroker(int joinTimeoutMs, QObject *parent)
    : QObject(parent)
    , m_joinTimeoutMs(joinTimeoutMs)
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

QString TunnelBroker::open(ServerSession *initiator, const QString &peer)
{
    const QString id = newTunnelId();
    if (id.isEmpty() || m_pending.contains(id))
        return QString();
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setProperty("tunnelId", id);
    connect(timer, &QTimer::timeout, this, &TunnelBroker::slotJoinTimeout);
    timer->start(m_joinTimeoutMs);
    m_pending.insert(id, Pending{initiator, peer.toLower(), timer});
    return id;
}

ServerSession *TunnelBroker::join(const QString &id)
{
    const auto it = m_pending.constFind(id);
    if (it == m_pending.constEnd())
        return nullptr;
    ServerSession *initiator = it->initiator.data();
    remove(id);
    return initiator;
}

void TunnelBroker::cancel(ServerSession *initiator)
{
    const QList<QString> ids = m_pending.keys();
    for (const QString &id : ids) {
        if (m_pending.value(id).initiator == initiator)
            remove(id);
    }
}

void TunnelBroker::remove(const QString &id)
{
    const Pending pending = m_pending.take(id);
    if (pending.timer)
        pending.timer->deleteLater();
}

void TunnelBroker::slotJoinTimeout()
{
    const QString id = sender()->property("tunnelId").toString();
    const QPointer<ServerSession> initiator = m_pending.value(id).initiator;
    remove(id);
    if (initiator)
        initiator->closeLink();
}
