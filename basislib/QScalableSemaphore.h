#pragma once

#include "basislib_global.h"

#include <QObject>

#include <condition_variable>
#include <mutex>

// A counting semaphore whose maximum can change while permits are held.
// Raising the maximum lets waiters in at once; lowering it below what is held
// takes nothing back, but new acquisitions wait until enough has been
// released, so never more than the maximum in force is held. Starts with a
// maximum of one permit.
class BASISLIB_EXPORT QScalableSemaphore : public QObject
{
    Q_OBJECT
public:
    explicit QScalableSemaphore(QObject *parent = nullptr);

    // Negative counts as 0.
    void setMaxAvailable(int maximum);
    int maxAvailable() const;
    // Permits that can be taken now (0 while more than the maximum is held).
    int available() const;

    // Blocks until the permits can be taken.
    void acquire(int permits = 1);
    // True when the permits were taken within `timeoutMs` (negative: no limit).
    bool tryAcquire(int permits = 1, int timeoutMs = 0);
    // Gives permits back; releasing more than is held leaves none held.
    void release(int permits = 1);

private:
    // std primitives rather than Qt's: thread checkers see their hand-overs.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_maximum = 1;
    int m_held = 0;
};
