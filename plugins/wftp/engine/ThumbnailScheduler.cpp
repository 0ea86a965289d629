#include "ThumbnailScheduler.h"

#include <QThread>

ThumbnailScheduler::ThumbnailScheduler()
{
    m_pool.setMaxThreadCount(MaxThreads);
}

ThumbnailScheduler::~ThumbnailScheduler()
{
    m_pool.waitForDone();
}

bool ThumbnailScheduler::schedule(const QString &key, int delayMs, std::function<void()> task)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending.contains(key))
            return false;
        m_pending.insert(key);
    }
    m_pool.start([this, key, delayMs, task = std::move(task)] {
        QThread::msleep(static_cast<unsigned long>(delayMs));
        {
            // Released before the work: a listing that comes while this one
            // decodes gets its own pass.
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_pending.remove(key);
        }
        task();
    });
    return true;
}

void ThumbnailScheduler::waitForDone()
{
    m_pool.waitForDone();
}
