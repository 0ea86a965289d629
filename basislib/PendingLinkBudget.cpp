#include "PendingLinkBudget.h"

#include <QHash>
#include <QHostAddress>

#include <map>
#include <mutex>

struct PendingLinkBudget::Counts
{
    std::mutex mutex;
    // Per address, its links' eviction calls by serial number: the oldest first.
    QHash<QString, std::map<quint64, std::function<void()>>> byAddress;
    int total = 0;
    quint64 nextSerial = 0;
    QHash<QString, int> provenByName;

    void release(const QString &address, quint64 serial)
    {
        std::function<void()> evict; // destroyed outside the lock
        std::lock_guard<std::mutex> lock(mutex);
        auto links = byAddress.find(address);
        if (links == byAddress.end())
            return;
        auto link = links->find(serial);
        if (link == links->end())
            return; // evicted: its place went to a newcomer already
        evict = std::move(link->second);
        links->erase(link);
        --total;
        if (links->empty())
            byAddress.erase(links);
    }

    void releaseProven(const QString &name)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto count = provenByName.find(name);
        if (count != provenByName.end() && --count.value() <= 0)
            provenByName.erase(count);
    }

    // Takes the oldest link of the address holding the most out of the
    // counts and hands back its eviction call. Among addresses holding as
    // many, the one with the oldest link goes first.
    std::function<void()> takeOldestOfLargestLocked()
    {
        auto largest = byAddress.end();
        for (auto links = byAddress.begin(); links != byAddress.end(); ++links) {
            if (largest == byAddress.end() || links->size() > largest->size()
                || (links->size() == largest->size() && links->begin()->first < largest->begin()->first))
                largest = links;
        }
        if (largest == byAddress.end())
            return {};
        std::function<void()> evict = std::move(largest->begin()->second);
        largest->erase(largest->begin());
        --total;
        if (largest->empty())
            byAddress.erase(largest);
        return evict;
    }
};

namespace {

// Gives its place back when the last holder lets go (the release keeps the
// counts alive, not the budget).
struct BudgetPlace
{
    std::function<void()> release;
    ~BudgetPlace() { release(); }
};

int positiveEnvironmentValue(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace

PendingLinkBudget::Limits PendingLinkBudget::defaultLimits()
{
    Limits limits;
    limits.timeLimitMs = positiveEnvironmentValue("WIVORA_PENDING_LINK_TIME_LIMIT_MS", limits.timeLimitMs);
    limits.provenTimeLimitMs = positiveEnvironmentValue("WIVORA_PROVEN_LINK_TIME_LIMIT_MS", limits.provenTimeLimitMs);
    return limits;
}

PendingLinkBudget::PendingLinkBudget(const Limits &limits)
    : m_limits(limits)
    , m_counts(std::make_shared<Counts>())
{
}

PendingLinkBudget::~PendingLinkBudget() = default;

QString PendingLinkBudget::addressKey(const QString &address)
{
    QHostAddress host(address);
    bool mapped = false;
    const quint32 ipv4 = host.toIPv4Address(&mapped);
    if (mapped)
        return QHostAddress(ipv4).toString();
    if (host.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    Q_IPV6ADDR bytes = host.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        bytes[i] = 0;
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

std::shared_ptr<void> PendingLinkBudget::reserve(const QString &address, std::function<void()> evict)
{
    const QString key = addressKey(address);
    std::function<void()> evicted;
    quint64 serial = 0;
    {
        std::lock_guard<std::mutex> lock(m_counts->mutex);
        const auto links = m_counts->byAddress.constFind(key);
        if (links != m_counts->byAddress.constEnd() && int(links->size()) >= m_limits.perAddress)
            return {};
        if (m_counts->total >= m_limits.total)
            evicted = m_counts->takeOldestOfLargestLocked();
        serial = m_counts->nextSerial++;
        m_counts->byAddress[key].emplace(serial, std::move(evict));
        ++m_counts->total;
    }
    if (evicted)
        evicted();
    auto place = std::make_shared<BudgetPlace>();
    place->release = [counts = m_counts, key, serial] { counts->release(key, serial); };
    return place;
}

std::shared_ptr<void> PendingLinkBudget::reserveProven(const QString &name)
{
    {
        std::lock_guard<std::mutex> lock(m_counts->mutex);
        int &count = m_counts->provenByName[name];
        if (count >= m_limits.perProvenName)
            return {};
        ++count;
    }
    auto place = std::make_shared<BudgetPlace>();
    place->release = [counts = m_counts, name] { counts->releaseProven(name); };
    return place;
}
