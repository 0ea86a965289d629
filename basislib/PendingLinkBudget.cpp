#include "PendingLinkBudget.h"

#include <QHash>

#include <functional>
#include <mutex>

struct PendingLinkBudget::Counts
{
    std::mutex mutex;
    QHash<QString, int> perAddress;
    int total = 0;

    void release(const QString &address)
    {
        std::lock_guard<std::mutex> lock(mutex);
        --total;
        auto entry = perAddress.find(address);
        if (entry != perAddress.end() && --entry.value() <= 0)
            perAddress.erase(entry);
    }
};

namespace {

// Gives its place back when the last holder lets go (the release keeps the
// counts alive, not the budget).
struct Place
{
    std::function<void()> release;
    ~Place() { release(); }
};

} // namespace

PendingLinkBudget::Limits PendingLinkBudget::defaultLimits()
{
    Limits limits;
    bool ok = false;
    const int timeLimitMs = qEnvironmentVariableIntValue("WIVORA_PENDING_LINK_TIME_LIMIT_MS", &ok);
    if (ok && timeLimitMs > 0)
        limits.timeLimitMs = timeLimitMs;
    return limits;
}

PendingLinkBudget::PendingLinkBudget(const Limits &limits)
    : m_limits(limits)
    , m_counts(std::make_shared<Counts>())
{
}

PendingLinkBudget::~PendingLinkBudget() = default;

std::shared_ptr<void> PendingLinkBudget::reserve(const QString &address)
{
    {
        std::lock_guard<std::mutex> lock(m_counts->mutex);
        int &fromAddress = m_counts->perAddress[address];
        if (fromAddress >= m_limits.perAddress || m_counts->total >= m_limits.total) {
            if (fromAddress == 0)
                m_counts->perAddress.remove(address);
            return {};
        }
        ++fromAddress;
        ++m_counts->total;
    }
    auto place = std::make_shared<Place>();
    place->release = [counts = m_counts, address] { counts->release(address); };
    return place;
}
