#include "InputListBudget.h"

#include <ServerProtocol.h>

namespace P = ServerProtocol;

const QString InputListBudget::ServerOwner = QStringLiteral(":server");

InputListBudget::Limits InputListBudget::defaultLimits()
{
    constexpr qint64 MiB = 1024 * 1024;
    Limits limits;
    limits.perSender = {1000, 32 * MiB};
    limits.allSenders = {10000, 128 * MiB};
    limits.server = {1000, 16 * MiB};
    return limits;
}

QString InputListBudget::ownerOf(const KvrConfig &record)
{
    const QString sender = record.gv(QLatin1String(P::RoutingKeySender));
    if (!sender.isEmpty())
        return sender;
    // Only the main-server link puts such names without a sender: links drop
    // them and the relay stamps its sender.
    const QString command = record.gv(QLatin1String(P::KeyCommand));
    if (command.startsWith(QLatin1String(P::LocalPrefix)) || command.startsWith(QLatin1String(P::WebLocalPrefix)))
        return ServerOwner;
    return QString();
}

qint64 InputListBudget::sizeOf(const KvrConfig &record)
{
    qint64 bytes = 0;
    for (int i = 0; i < record.size(); ++i)
        bytes += qint64(record.GetKey(i).size()) * qint64(sizeof(QChar)) + record.GetValue(i).size();
    return bytes;
}

InputListBudget::InputListBudget(const Limits &limits)
    : m_limits(limits)
{
}

std::optional<QString> InputListBudget::ownerToMakeRoomFor(const QString &owner, qint64 bytes) const
{
    const bool isServer = owner == ServerOwner;
    const auto own = m_owners.constFind(owner);
    if (own != m_owners.constEnd() && exceeds(*own, bytes, isServer ? m_limits.server : m_limits.perSender))
        return owner;
    if (!isServer && m_senders.records > 0 && exceeds(m_senders, bytes, m_limits.allSenders))
        return largestSender();
    return std::nullopt;
}

void InputListBudget::add(const QString &owner, qint64 bytes)
{
    Usage &usage = m_owners[owner];
    ++usage.records;
    usage.bytes += bytes;
    if (owner != ServerOwner) {
        ++m_senders.records;
        m_senders.bytes += bytes;
    }
}

void InputListBudget::remove(const QString &owner, qint64 bytes)
{
    const auto usage = m_owners.find(owner);
    if (usage == m_owners.end())
        return;
    if (--usage->records <= 0)
        m_owners.erase(usage);
    else
        usage->bytes -= bytes;
    if (owner != ServerOwner) {
        --m_senders.records;
        m_senders.bytes -= bytes;
    }
}

bool InputListBudget::exceeds(const Usage &usage, qint64 addedBytes, const Caps &caps)
{
    return usage.records + 1 > caps.records || usage.bytes + addedBytes > caps.bytes;
}

QString InputListBudget::largestSender() const
{
    QString largest;
    qint64 largestBytes = -1;
    for (auto it = m_owners.constBegin(); it != m_owners.constEnd(); ++it) {
        if (it.key() != ServerOwner && it->bytes > largestBytes) {
            largest = it.key();
            largestBytes = it->bytes;
        }
    }
    return largest;
}
