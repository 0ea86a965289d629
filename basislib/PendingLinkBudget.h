#pragma once

#include "basislib_global.h"

#include <QString>

#include <memory>

// What links that have not logged in or authenticated yet may hold on an
// accepting side: a small frame cap (the login and the authentication
// records are small), a time limit, and a number of places per address and
// in all. Without it, strangers could hold memory and sockets for free.
//
// Thread-safe. Places outlive the budget safely.
class BASISLIB_EXPORT PendingLinkBudget
{
public:
    struct Limits
    {
        // The largest login or authentication record with an 8192-bit key
        // and long names and passwords is under 2 KiB.
        int frameLimit = 8 * 1024;
        int timeLimitMs = 15000;
        int perAddress = 32;
        int total = 256;
    };

    // The defaults; the time limit comes from the environment variable
    // WIVORA_PENDING_LINK_TIME_LIMIT_MS when set (tests shorten it).
    static Limits defaultLimits();

    explicit PendingLinkBudget(const Limits &limits = defaultLimits());
    ~PendingLinkBudget();

    const Limits &limits() const { return m_limits; }

    // A place for one link from `address`, held while the returned pointer
    // lives; null when that address or all addresses hold their most.
    std::shared_ptr<void> reserve(const QString &address);

private:
    struct Counts;
    const Limits m_limits;
    std::shared_ptr<Counts> m_counts;
};
