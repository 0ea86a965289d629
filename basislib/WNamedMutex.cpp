#include "WNamedMutex.h"

#include <QThread>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace {

struct NamedLock
{
    Qt::HANDLE owner = nullptr;
    int depth = 0;    // times the owner locked it
    int users = 0;    // lock calls not yet undone: the owner's depth plus waiters
    std::condition_variable released;
};

// Every name's state lives under one mutex. An entry exists only while its
// name is held or awaited; std::map keeps it in place while others come and go.
// std primitives rather than Qt's: thread checkers see their hand-overs.
struct NamedLockTable
{
    std::mutex mutex;
    std::map<QString, NamedLock> locks;

    void dropUser(std::map<QString, NamedLock>::iterator it)
    {
        if (--it->second.users == 0)
            locks.erase(it);
    }
};

Q_GLOBAL_STATIC(NamedLockTable, table)

} // namespace

void WNamedMutex::lock(const QString &name)
{
    tryLock(name, -1);
}

bool WNamedMutex::tryLock(const QString &name, int timeoutMs)
{
    NamedLockTable *t = table();
    if (!t) // a detached thread still running while the process ends
        return false;
    const Qt::HANDLE self = QThread::currentThreadId();

    std::unique_lock<std::mutex> locker(t->mutex);
    const auto it = t->locks.try_emplace(name).first;
    NamedLock &entry = it->second;
    ++entry.users;
    const auto takeable = [&entry, self] { return entry.depth == 0 || entry.owner == self; };
    bool taken = true;
    if (timeoutMs < 0)
        entry.released.wait(locker, takeable);
    else
        taken = entry.released.wait_for(locker, std::chrono::milliseconds(timeoutMs), takeable);
    if (!taken) {
        t->dropUser(it);
        return false;
    }
    entry.owner = self;
    ++entry.depth;
    return true;
}

bool WNamedMutex::unlock(const QString &name)
{
    NamedLockTable *t = table();
    if (!t)
        return false;
    std::lock_guard<std::mutex> locker(t->mutex);
    const auto it = t->locks.find(name);
    if (it == t->locks.end() || it->second.depth == 0 || it->second.owner != QThread::currentThreadId())
        return false;
    NamedLock &entry = it->second;
    if (--entry.depth == 0) {
        entry.owner = nullptr;
        // Every waiter re-checks; waking one could pick a waiter that is
        // just timing out and leave the others asleep.
        entry.released.notify_all();
    }
    t->dropUser(it);
    return true;
}
