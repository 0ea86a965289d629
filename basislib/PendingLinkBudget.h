#pragma once

#include "basislib_global.h"

#include <QString>

#include <functional>
#include <memory>

// What links that are not admitted yet may hold on an accepting side: a small
// frame cap (the login and the authentication records are small), a time
// limit, and places per address, per proven name and in all. Without it,
// strangers could hold memory and sockets for free.
//
// Nobody can fill it for everybody: one address holds a share far below the
// total, and when the total is full, a newcomer takes the place of the
// oldest link of the address holding the most (which is told to go).
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
        int perAddress = 8;
        int total = 512;
        // Links that proved a name but are not admitted yet, per name.
        int perProvenName = 8;
        // What such a link may send meanwhile, and for how long from its
        // proof; 0 keeps the pending limit (and its time limit running).
        int provenFrameLimit = 0;
        int provenTimeLimitMs = 0;
    };

    // The defaults; the time limits come from the environment variables
    // WIVORA_PENDING_LINK_TIME_LIMIT_MS and WIVORA_PROVEN_LINK_TIME_LIMIT_MS
    // when set (tests shorten them).
    static Limits defaultLimits();

    explicit PendingLinkBudget(const Limits &limits = defaultLimits());
    ~PendingLinkBudget();

    const Limits &limits() const { return m_limits; }

    // A place for one link from `address`, held while the returned pointer
    // lives; null when that address holds its share. When all places are
    // taken, `evict` of the oldest link of the address holding the most is
    // called (on this thread, outside the budget's lock) and its place given
    // to the newcomer. `evict` must not keep its link alive.
    std::shared_ptr<void> reserve(const QString &address, std::function<void()> evict);
    // A place for one more link that proved `name`; null when that name
    // holds its most.
    std::shared_ptr<void> reserveProven(const QString &name);

    // How places are counted for the far side's address: an IPv6 network
    // (/64) is one address, as its holder may use any address inside it.
    static QString addressKey(const QString &address);

private:
    struct Counts;
    const Limits m_limits;
    std::shared_ptr<Counts> m_counts;
};
