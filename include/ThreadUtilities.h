#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QtDebug>

// Thread helpers shared by the program and the plug-ins (header-only, so each
// library carries the same behaviour).

// Blocks the calling thread for `ms` milliseconds while the thread's own
// events (queued calls, timers, sockets, and on the GUI thread painting and
// input) keep being delivered, so the caller may be re-entered. Works on any
// thread, also on one Qt did not start: the local loop gives it an event
// dispatcher.
inline void waitWithEvents(int ms)
{
    ms = qMax(ms, 0);
    if (!QCoreApplication::instance()) {
        QThread::msleep(static_cast<unsigned long>(ms));
        return;
    }
    const QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    {
        QEventLoop loop; // first: creates the dispatcher the timer needs
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer); // a coarse timer may fire early
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(ms);
        loop.exec();
    }
    // A thread that is being asked to quit ends every loop at once and refuses
    // new ones; sleep out the rest so that polling callers do not spin.
    const qint64 left = deadline.remainingTime();
    if (left > 0)
        QThread::msleep(static_cast<unsigned long>(left));
}

// How long idle threads of the global pool live.
inline void setThreadPoolExpiry(int ms)
{
    QThreadPool::globalInstance()->setExpiryTimeout(ms);
}

// Called before a task is handed to the global pool: when fewer than 200
// threads are left, the maximum grows to the active count plus 300, so
// long-running tasks never starve the pool.
inline void ensureThreadPoolCapacity()
{
    QThreadPool *pool = QThreadPool::globalInstance();
    const int active = pool->activeThreadCount();
    if (active > pool->maxThreadCount() - 200) {
        const int maximum = active + 300;
        pool->setMaxThreadCount(maximum);
        qDebug().nospace() << "max thread count: " << maximum;
        qDebug().nospace() << "active thread count: " << active;
    }
}
