#pragma once

#include "basislib_global.h"

#include <QString>

// A process-wide lock keyed by a name (a user name, for instance): callers
// that lock the same name run one at a time, different names do not block
// each other.
//
// The lock is recursive: the thread that holds a name may lock it again (a
// caller re-entered through an event-keeping wait must not deadlock on
// itself) and must unlock it as often. Only the holding thread can unlock.
// Nothing is kept for names that nobody holds or awaits.
class BASISLIB_EXPORT WNamedMutex
{
public:
    WNamedMutex() = delete;

    static void lock(const QString &name);
    // True when the lock was taken within `timeoutMs` (negative: no limit).
    static bool tryLock(const QString &name, int timeoutMs = 0);
    // False (and nothing changes) when the calling thread does not hold it.
    static bool unlock(const QString &name);
};

// Holds a named lock for its own lifetime.
class WNamedMutexLocker
{
public:
    explicit WNamedMutexLocker(const QString &name) : m_name(name) { WNamedMutex::lock(m_name); }
    ~WNamedMutexLocker() { WNamedMutex::unlock(m_name); }

    WNamedMutexLocker(const WNamedMutexLocker &) = delete;
    WNamedMutexLocker &operator=(const WNamedMutexLocker &) = delete;

private:
    const QString m_name;
};
