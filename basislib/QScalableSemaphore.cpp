#include "QScalableSemaphore.h"

#include <QDeadlineTimer>

QScalableSemaphore::QScalableSemaphore(QObject *parent) : QObject(parent) {}

void QScalableSemaphore::setMaxAvailable(int maximum)
{
    QMutexLocker locker(&m_mutex);
    m_maximum = qMax(maximum, 0);
    m_changed.wakeAll();
}

int QScalableSemaphore::maxAvailable() const
{
    QMutexLocker locker(&m_mutex);
    return m_maximum;
}

int QScalableSemaphore::available() const
{
    QMutexLocker locker(&m_mutex);
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
    const QDeadlineTimer deadline =
        timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs, Qt::PreciseTimer);
    QMutexLocker locker(&m_mutex);
    while (m_held + permits > m_maximum) {
        if (deadline.hasExpired())
            return false;
        m_changed.wait(&m_mutex, deadline);
    }
    m_held += permits;
    return true;
}

void QScalableSemaphore::release(int permits)
{
    if (permits <= 0)
        return;
    QMutexLocker locker(&m_mutex);
    m_held = qMax(m_held - permits, 0);
    m_changed.wakeAll();
}
