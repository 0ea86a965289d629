#pragma once

#include <QSet>
#include <QString>
#include <QThreadPool>

#include <functional>
#include <mutex>

// Runs thumbnail tasks on a small pool of its own, so repeated listings cannot
// take the process's threads or memory: at most one pending task per asker and
// folder, at most two decoding at a time.
class ThumbnailScheduler
{
public:
    static constexpr int MaxThreads = 2;

    ThumbnailScheduler();
    ~ThumbnailScheduler();

    // Runs task after delayMs unless a task for the same key is still
    // pending; false when it was folded into the pending one.
    bool schedule(const QString &key, int delayMs, std::function<void()> task);
    // Waits for every task (tests, shutdown).
    void waitForDone();

private:
    QThreadPool m_pool;
    std::mutex m_mutex;
    QSet<QString> m_pending;
};
