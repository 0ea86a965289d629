#include "ThumbnailScheduler.h"

#include <QMutexLocker>
#include <QRunnable>

ThumbnailScheduler::ThumbnailScheduler()
{
    m_pool.setMaxThreadCount(MaxThreads);
}

ThumbnailScheduler::~ThumbnailScheduler()
{
    m_pool.waitForDone();
}

bool ThumbnailScheduler::schedule(const QString &key, std::function<void()> task)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_pending.contains(key))
            return false;
        m_pending.insert(key);
    }
    m_pool.start([this, key, task = std::move(task)] {
        {
            // Released before the work: a listing that comes while this one
            // decodes gets its own pass.
            QMutexLocker lock(&m_mutex);
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
