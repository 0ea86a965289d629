// Tells ThreadSanitizer about the synchronisation that happens inside Qt.
//
// The distribution's Qt is not built with the sanitizer, so the locking,
// thread-pool hand-over and event posting it does in libQt5Core are invisible
// and every access guarded by them looks like a race. This library, linked
// into every program of a ThreadSanitizer build ahead of Qt, defines the
// exported Qt functions our code calls and forwards each to Qt's own
// definition (found with RTLD_NEXT), adding the acquire and release that the
// call implies. Qt's calls inside its own library stay bound to Qt and are
// not seen here; the suppressions file ignores what happens in there.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEvent>
#include <QFutureInterfaceBase>
#include <QMetaMethod>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QReadWriteLock>
#include <QRunnable>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>
#include <QWaitCondition>

#include <sanitizer/tsan_interface.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>

namespace {

// Qt's own definition of the function named by its mangled symbol.
template <typename Function>
Function qtDefinition(const char *symbol)
{
    void *address = dlsym(RTLD_NEXT, symbol);
    if (!address) {
        std::fprintf(stderr, "QtSyncAnnotations: %s not found in Qt\n", symbol);
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

// Declares `real`, Qt's definition of the function being defined.
#define QT_DEFINITION(type, symbol) static const auto real = qtDefinition<type>(symbol)

void acquire(const void *key) { __tsan_acquire(const_cast<void *>(key)); }
void release(const void *key) { __tsan_release(const_cast<void *>(key)); }

// A queued signal's receivers are chosen inside Qt, out of sight: every
// emission releases this key and every queued call delivered acquires it, so
// whatever a thread did before emitting is ordered before the queued slots
// that run after it (and, more coarsely, before unrelated ones too).
char queuedSignals;

// Signals this thread is emitting right now: a slot called meanwhile is a
// direct call, ordered by the thread itself.
thread_local int emissions = 0;

// A task handed to a pool runs on one of its threads after Qt's queue passed
// it over under Qt's own lock: wrapping it puts an acquire at its start. The
// pool holds the wrapper only, so QThreadPool::tryTake() does not find the
// task, and a future's waiter waits for the pool instead of running the task.
// Its end is released on the pool, which waitForDone() acquires.
class HandOver : public QRunnable
{
public:
    HandOver(const QThreadPool *pool, std::function<void()> task) : m_pool(pool), m_task(std::move(task))
    {
        release(this);
    }
    void run() override
    {
        acquire(this);
        m_task();
        release(m_pool);
    }

private:
    const QThreadPool *m_pool;
    std::function<void()> m_task;
};

HandOver *handOver(const QThreadPool *pool, QRunnable *runnable)
{
    return new HandOver(pool, [runnable] {
        const bool owned = runnable->autoDelete();
        runnable->run();
        if (owned)
            delete runnable;
    });
}

const void *futureKey(const QFutureInterfaceBase *future)
{
    // The state every copy of a future shares is guarded by this mutex.
    return future->mutex();
}

// An event handler of ours runs after what was posted to its receiver (and,
// for queued calls, after every emission before it). Whatever it did is
// released on its thread's key: QThread::wait() and blocking queued calls
// acquire that key when they return.
bool deliver(bool (*handler)(QObject *, QEvent *), QObject *receiver, QEvent *event)
{
    acquire(receiver);
    if (event->type() == QEvent::MetaCall)
        acquire(&queuedSignals);
    const bool handled = handler(receiver, event); // may delete the receiver
    release(QThread::currentThread());
    return handled;
}

// A slot object (a connected functor or member function, a functor handed
// to QMetaObject::invokeMethod) is made on one thread, called on the
// receiver's (whatever class the receiver is), and freed by whichever thread
// drops it last, after waits inside Qt. Wrapped in this, its call is ordered
// after it was handed over (and, when queued, after the emissions before it),
// and its end before the call's results are read and before it is freed.
class AnnotatedSlot : public QtPrivate::QSlotObjectBase
{
public:
    explicit AnnotatedSlot(QtPrivate::QSlotObjectBase *slot) : QSlotObjectBase(&impl), m_slot(slot) {}
    // Orders what the calling thread did so far before the slot's calls.
    QSlotObjectBase *handedOver()
    {
        release(this);
        return this;
    }

private:
    static void impl(int which, QSlotObjectBase *self, QObject *receiver, void **arguments, bool *result)
    {
        auto *that = static_cast<AnnotatedSlot *>(self);
        switch (which) {
        case Call:
            acquire(that);
            if (emissions == 0)
                acquire(&queuedSignals);
            that->m_slot->call(receiver, arguments);
            // Not on the hand-over's key: calls from two threads stay unordered.
            release(&that->m_calls);
            release(QThread::currentThread());
            break;
        case Destroy:
            acquire(&that->m_calls);
            that->m_slot->destroyIfLastRef();
            delete that;
            break;
        case Compare:
            *result = that->m_slot->compare(arguments);
            break;
        }
    }

    QtPrivate::QSlotObjectBase *m_slot;
    char m_calls = 0; // the key of the calls made
};

// After a blocking queued call returns, the receiver's thread ran it.
void acquireBlockingCall(QObject *receiver, Qt::ConnectionType type)
{
    if (type == Qt::BlockingQueuedConnection && receiver)
        acquire(receiver->thread());
}

} // namespace

// Locks: an acquire after every successful lock, a release before unlock.

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    QT_DEFINITION(void (*)(QMutex *), "_ZN6QMutex4lockEv");
    real(this);
    acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    QT_DEFINITION(bool (*)(QMutex *, int), "_ZN6QMutex7tryLockEi");
    const bool locked = real(this, timeout);
    if (locked)
        acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    QT_DEFINITION(void (*)(QMutex *), "_ZN6QMutex6unlockEv");
    release(this);
    real(this);
}

// The slow paths of a contended QBasicMutex; its fast paths are inline
// atomics that the sanitizer already sees.
void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    QT_DEFINITION(void (*)(QBasicMutex *), "_ZN11QBasicMutex12lockInternalEv");
    real(this);
    acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    QT_DEFINITION(bool (*)(QBasicMutex *, int), "_ZN11QBasicMutex12lockInternalEi");
    const bool locked = real(this, timeout);
    if (locked)
        acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    QT_DEFINITION(void (*)(QBasicMutex *), "_ZN11QBasicMutex14unlockInternalEv");
    release(this);
    real(this);
}

void QReadWriteLock::lockForRead()
{
    QT_DEFINITION(void (*)(QReadWriteLock *), "_ZN14QReadWriteLock11lockForReadEv");
    real(this);
    acquire(this);
}

bool QReadWriteLock::tryLockForRead()
{
    QT_DEFINITION(bool (*)(QReadWriteLock *), "_ZN14QReadWriteLock14tryLockForReadEv");
    const bool locked = real(this);
    if (locked)
        acquire(this);
    return locked;
}

bool QReadWriteLock::tryLockForRead(int timeout)
{
    QT_DEFINITION(bool (*)(QReadWriteLock *, int), "_ZN14QReadWriteLock14tryLockForReadEi");
    const bool locked = real(this, timeout);
    if (locked)
        acquire(this);
    return locked;
}

void QReadWriteLock::lockForWrite()
{
    QT_DEFINITION(void (*)(QReadWriteLock *), "_ZN14QReadWriteLock12lockForWriteEv");
    real(this);
    acquire(this);
}

bool QReadWriteLock::tryLockForWrite()
{
    QT_DEFINITION(bool (*)(QReadWriteLock *), "_ZN14QReadWriteLock15tryLockForWriteEv");
    const bool locked = real(this);
    if (locked)
        acquire(this);
    return locked;
}

bool QReadWriteLock::tryLockForWrite(int timeout)
{
    QT_DEFINITION(bool (*)(QReadWriteLock *, int), "_ZN14QReadWriteLock15tryLockForWriteEi");
    const bool locked = real(this, timeout);
    if (locked)
        acquire(this);
    return locked;
}

void QReadWriteLock::unlock()
{
    QT_DEFINITION(void (*)(QReadWriteLock *), "_ZN14QReadWriteLock6unlockEv");
    release(this);
    real(this);
}

// A wait gives the lock up and takes it again inside Qt; a wake orders the
// waker's work before the woken thread's.

bool QWaitCondition::wait(QMutex *lockedMutex, QDeadlineTimer deadline)
{
    QT_DEFINITION(bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer),
                  "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    release(lockedMutex);
    const bool woken = real(this, lockedMutex, deadline);
    acquire(lockedMutex);
    acquire(this);
    return woken;
}

bool QWaitCondition::wait(QMutex *lockedMutex, unsigned long time)
{
    QT_DEFINITION(bool (*)(QWaitCondition *, QMutex *, unsigned long), "_ZN14QWaitCondition4waitEP6QMutexm");
    release(lockedMutex);
    const bool woken = real(this, lockedMutex, time);
    acquire(lockedMutex);
    acquire(this);
    return woken;
}

bool QWaitCondition::wait(QReadWriteLock *lockedReadWriteLock, QDeadlineTimer deadline)
{
    QT_DEFINITION(bool (*)(QWaitCondition *, QReadWriteLock *, QDeadlineTimer),
                  "_ZN14QWaitCondition4waitEP14QReadWriteLock14QDeadlineTimer");
    release(lockedReadWriteLock);
    const bool woken = real(this, lockedReadWriteLock, deadline);
    acquire(lockedReadWriteLock);
    acquire(this);
    return woken;
}

bool QWaitCondition::wait(QReadWriteLock *lockedReadWriteLock, unsigned long time)
{
    QT_DEFINITION(bool (*)(QWaitCondition *, QReadWriteLock *, unsigned long),
                  "_ZN14QWaitCondition4waitEP14QReadWriteLockm");
    release(lockedReadWriteLock);
    const bool woken = real(this, lockedReadWriteLock, time);
    acquire(lockedReadWriteLock);
    acquire(this);
    return woken;
}

void QWaitCondition::wakeOne()
{
    QT_DEFINITION(void (*)(QWaitCondition *), "_ZN14QWaitCondition7wakeOneEv");
    release(this);
    real(this);
}

void QWaitCondition::wakeAll()
{
    QT_DEFINITION(void (*)(QWaitCondition *), "_ZN14QWaitCondition7wakeAllEv");
    release(this);
    real(this);
}

void QSemaphore::acquire(int n)
{
    QT_DEFINITION(void (*)(QSemaphore *, int), "_ZN10QSemaphore7acquireEi");
    real(this, n);
    ::acquire(this);
}

bool QSemaphore::tryAcquire(int n)
{
    QT_DEFINITION(bool (*)(QSemaphore *, int), "_ZN10QSemaphore10tryAcquireEi");
    const bool acquired = real(this, n);
    if (acquired)
        ::acquire(this);
    return acquired;
}

bool QSemaphore::tryAcquire(int n, int timeout)
{
    QT_DEFINITION(bool (*)(QSemaphore *, int, int), "_ZN10QSemaphore10tryAcquireEii");
    const bool acquired = real(this, n, timeout);
    if (acquired)
        ::acquire(this);
    return acquired;
}

void QSemaphore::release(int n)
{
    QT_DEFINITION(void (*)(QSemaphore *, int), "_ZN10QSemaphore7releaseEi");
    ::release(this);
    real(this, n);
}

// Thread pools (QtConcurrent::run starts its tasks through them).

void QThreadPool::start(QRunnable *runnable, int priority)
{
    QT_DEFINITION(void (*)(QThreadPool *, QRunnable *, int), "_ZN11QThreadPool5startEP9QRunnablei");
    if (!runnable)
        return;
    real(this, handOver(this, runnable), priority);
}

void QThreadPool::start(std::function<void()> functionToRun, int priority)
{
    QT_DEFINITION(void (*)(QThreadPool *, QRunnable *, int), "_ZN11QThreadPool5startEP9QRunnablei");
    if (!functionToRun)
        return;
    real(this, new HandOver(this, std::move(functionToRun)), priority);
}

bool QThreadPool::tryStart(QRunnable *runnable)
{
    QT_DEFINITION(bool (*)(QThreadPool *, QRunnable *), "_ZN11QThreadPool8tryStartEP9QRunnable");
    if (!runnable)
        return false;
    HandOver *task = handOver(this, runnable);
    if (real(this, task))
        return true;
    delete task;
    return false;
}

bool QThreadPool::tryStart(std::function<void()> functionToRun)
{
    QT_DEFINITION(bool (*)(QThreadPool *, QRunnable *), "_ZN11QThreadPool8tryStartEP9QRunnable");
    if (!functionToRun)
        return false;
    auto *task = new HandOver(this, std::move(functionToRun));
    if (real(this, task))
        return true;
    delete task;
    return false;
}

bool QThreadPool::waitForDone(int msecs)
{
    QT_DEFINITION(bool (*)(QThreadPool *, int), "_ZN11QThreadPool11waitForDoneEi");
    const bool done = real(this, msecs);
    if (done)
        acquire(this);
    return done;
}

// Futures: a task's end is ordered before whoever sees it ended.

void QFutureInterfaceBase::reportFinished()
{
    QT_DEFINITION(void (*)(QFutureInterfaceBase *), "_ZN20QFutureInterfaceBase14reportFinishedEv");
    release(futureKey(this));
    real(this);
}

void QFutureInterfaceBase::reportCanceled()
{
    QT_DEFINITION(void (*)(QFutureInterfaceBase *), "_ZN20QFutureInterfaceBase14reportCanceledEv");
    release(futureKey(this));
    real(this);
}

void QFutureInterfaceBase::waitForFinished()
{
    QT_DEFINITION(void (*)(QFutureInterfaceBase *), "_ZN20QFutureInterfaceBase15waitForFinishedEv");
    real(this);
    acquire(futureKey(this));
}

void QFutureInterfaceBase::waitForResult(int resultIndex)
{
    QT_DEFINITION(void (*)(QFutureInterfaceBase *, int), "_ZN20QFutureInterfaceBase13waitForResultEi");
    real(this, resultIndex);
    acquire(futureKey(this));
}

bool QFutureInterfaceBase::isFinished() const
{
    QT_DEFINITION(bool (*)(const QFutureInterfaceBase *), "_ZNK20QFutureInterfaceBase10isFinishedEv");
    const bool finished = real(this);
    if (finished)
        acquire(futureKey(this));
    return finished;
}

// The last copy of a future frees its results after the others read them.
bool QFutureInterfaceBase::derefT() const
{
    QT_DEFINITION(bool (*)(const QFutureInterfaceBase *), "_ZNK20QFutureInterfaceBase6derefTEv");
    const void *key = futureKey(this);
    release(key);
    const bool othersLeft = real(this);
    if (!othersLeft)
        acquire(key);
    return othersLeft;
}

bool QFutureInterfaceBase::isRunning() const
{
    QT_DEFINITION(bool (*)(const QFutureInterfaceBase *), "_ZNK20QFutureInterfaceBase9isRunningEv");
    const bool running = real(this);
    if (!running)
        acquire(futureKey(this));
    return running;
}

// Posted events and queued calls: released at posting, acquired by the
// receiver's event handler before the call runs.

void QCoreApplication::postEvent(QObject *receiver, QEvent *event, int priority)
{
    QT_DEFINITION(void (*)(QObject *, QEvent *, int), "_ZN16QCoreApplication9postEventEP7QObjectP6QEventi");
    release(receiver);
    real(receiver, event, priority);
}

void QObject::deleteLater()
{
    QT_DEFINITION(void (*)(QObject *), "_ZN7QObject11deleteLaterEv");
    release(this);
    real(this);
}

bool QMetaObject::invokeMethodImpl(QObject *object, QtPrivate::QSlotObjectBase *slot, Qt::ConnectionType type,
                                   void *ret)
{
    QT_DEFINITION(bool (*)(QObject *, QtPrivate::QSlotObjectBase *, Qt::ConnectionType, void *),
                  "_ZN11QMetaObject16invokeMethodImplEP7QObjectPN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPv");
    QtPrivate::QSlotObjectBase *annotated = slot ? (new AnnotatedSlot(slot))->handedOver() : slot;
    release(object);
    const bool invoked = real(object, annotated, type, ret);
    acquireBlockingCall(object, type);
    return invoked;
}

bool QMetaObject::invokeMethod(QObject *obj, const char *member, Qt::ConnectionType type,
                               QGenericReturnArgument ret, QGenericArgument val0, QGenericArgument val1,
                               QGenericArgument val2, QGenericArgument val3, QGenericArgument val4,
                               QGenericArgument val5, QGenericArgument val6, QGenericArgument val7,
                               QGenericArgument val8, QGenericArgument val9)
{
    QT_DEFINITION(bool (*)(QObject *, const char *, Qt::ConnectionType, QGenericReturnArgument, QGenericArgument,
                           QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
                           QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument),
                  "_ZN11QMetaObject12invokeMethodEP7QObjectPKcN2Qt14ConnectionTypeE22QGenericReturnArgument16"
                  "QGenericArgumentS7_S7_S7_S7_S7_S7_S7_S7_S7_");
    release(obj);
    const bool invoked = real(obj, member, type, ret, val0, val1, val2, val3, val4, val5, val6, val7, val8, val9);
    acquireBlockingCall(obj, type);
    return invoked;
}

bool QMetaMethod::invoke(QObject *object, Qt::ConnectionType connectionType, QGenericReturnArgument returnValue,
                         QGenericArgument val0, QGenericArgument val1, QGenericArgument val2,
                         QGenericArgument val3, QGenericArgument val4, QGenericArgument val5,
                         QGenericArgument val6, QGenericArgument val7, QGenericArgument val8,
                         QGenericArgument val9) const
{
    QT_DEFINITION(bool (*)(const QMetaMethod *, QObject *, Qt::ConnectionType, QGenericReturnArgument,
                           QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
                           QGenericArgument, QGenericArgument, QGenericArgument, QGenericArgument,
                           QGenericArgument, QGenericArgument),
                  "_ZNK11QMetaMethod6invokeEP7QObjectN2Qt14ConnectionTypeE22QGenericReturnArgument16"
                  "QGenericArgumentS5_S5_S5_S5_S5_S5_S5_S5_S5_");
    release(object);
    const bool invoked = real(this, object, connectionType, returnValue, val0, val1, val2, val3, val4, val5, val6,
                              val7, val8, val9);
    acquireBlockingCall(object, connectionType);
    return invoked;
}

// A sender's connections are made on one thread and read by every thread
// that emits, under Qt's own lock.
QMetaObject::Connection QObject::connectImpl(const QObject *sender, void **signal, const QObject *receiver,
                                             void **slotPtr, QtPrivate::QSlotObjectBase *slot,
                                             Qt::ConnectionType type, const int *types,
                                             const QMetaObject *senderMetaObject)
{
    QT_DEFINITION(QMetaObject::Connection(*)(const QObject *, void **, const QObject *, void **,
                                             QtPrivate::QSlotObjectBase *, Qt::ConnectionType, const int *,
                                             const QMetaObject *),
                  "_ZN7QObject11connectImplEPKS_PPvS1_S3_PN9QtPrivate15QSlotObjectBaseEN2Qt14ConnectionTypeEPKiPK11"
                  "QMetaObject");
    QtPrivate::QSlotObjectBase *annotated = slot ? (new AnnotatedSlot(slot))->handedOver() : slot;
    release(sender);
    return real(sender, signal, receiver, slotPtr, annotated, type, types, senderMetaObject);
}

void QMetaObject::activate(QObject *sender, const QMetaObject *metaObject, int localSignalIndex, void **argv)
{
    QT_DEFINITION(void (*)(QObject *, const QMetaObject *, int, void **),
                  "_ZN11QMetaObject8activateEP7QObjectPKS_iPPv");
    acquire(sender);
    release(&queuedSignals);
    ++emissions;
    real(sender, metaObject, localSignalIndex, argv);
    --emissions;
}

void QMetaObject::activate(QObject *sender, int signalOffset, int localSignalIndex, void **argv)
{
    QT_DEFINITION(void (*)(QObject *, int, int, void **), "_ZN11QMetaObject8activateEP7QObjectiiPPv");
    acquire(sender);
    release(&queuedSignals);
    ++emissions;
    real(sender, signalOffset, localSignalIndex, argv);
    --emissions;
}

bool QObject::event(QEvent *event)
{
    QT_DEFINITION(bool (*)(QObject *, QEvent *), "_ZN7QObject5eventEP6QEvent");
    return deliver(real, this, event);
}

bool QThread::event(QEvent *event)
{
    QT_DEFINITION(bool (*)(QObject *, QEvent *), "_ZN7QThread5eventEP6QEvent");
    return deliver(real, this, event);
}

// Threads: Qt's threads are detached and waited for under Qt's own lock.
// A thread's end, after its run() (ours, often), is released from a slot of
// its finished() signal, which Qt calls on the thread as it ends; whoever
// sees it ended acquires it.

void QThread::start(Priority priority)
{
    QT_DEFINITION(void (*)(QThread *, Priority), "_ZN7QThread5startENS_8PriorityE");
    connect(this, &QThread::finished, this, [this] { release(this); }, Qt::DirectConnection);
    real(this, priority);
}

bool QThread::isFinished() const
{
    QT_DEFINITION(bool (*)(const QThread *), "_ZNK7QThread10isFinishedEv");
    const bool finished = real(this);
    if (finished)
        acquire(this);
    return finished;
}

bool QThread::isRunning() const
{
    QT_DEFINITION(bool (*)(const QThread *), "_ZNK7QThread9isRunningEv");
    const bool running = real(this);
    if (!running)
        acquire(this);
    return running;
}

bool QThread::wait(QDeadlineTimer deadline)
{
    QT_DEFINITION(bool (*)(QThread *, QDeadlineTimer), "_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = real(this, deadline);
    if (ended)
        acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    QT_DEFINITION(bool (*)(QThread *, unsigned long), "_ZN7QThread4waitEm");
    const bool ended = real(this, time);
    if (ended)
        acquire(this);
    return ended;
}
