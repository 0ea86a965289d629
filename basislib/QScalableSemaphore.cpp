#include "QScalableSemaphore.h"

#include <QtGlobal>

#include <chrono>

QScalableSemaphore::QScalableSemaphore(QObject *parent) : QObject(parent) {}

void QScalableSemaphore::setMaxAvailable(int maximum)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_maximum = qMax(maximum, 0);
    }
    m_changed.notify_all();
}

int QScalableSemaphore::maxAvailable() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_maximum;
}

int QScalableSemaphore::available() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return qMax(m_maximum - m_held, 0);
}

void QScalableSemaphore::acquire(int permits)
{
    tryAcquire(permits, -1);
}

bool QScalableSemaphore::tryAcquire(int permits, int timeoutMs)
{
    if (permits <= 0)
        return permits == 0;
    const auto fits = [this, permits] { return m_held + permits <= m_maximum; };
    std::unique_lock<std::mutex> lock(m_mutex);
    if (timeoutMs < 0)
        m_changed.wait(lock, fits);
    else if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), fits))
        return false;
    m_held += permits;
    return true;
}

void QScalableSemaphore::release(int permits)
{
    if (permits <= 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = qMax(m_held - permits, 0);
    }
    m_changed.notify_all();
}
