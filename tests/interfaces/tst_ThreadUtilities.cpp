#include "QtTestSuite.h"
#include <ThreadUtilities.h>

#include <QElapsedTimer>
#include <QSemaphore>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

struct WaitOutcome
{
    qint64 elapsedMs = -1;
    bool queuedCallRan = false;
    bool ranOnWaitingThread = false;
};

// Notes where and whether the call queued to it ran. Queued by name, so that
// only Qt's own event crosses threads (thread checkers cannot see Qt's
// hand-over of a functor of ours).
class CallRecorder : public QObject
{
    Q_OBJECT
public:
    explicit CallRecorder(WaitOutcome &outcome) : m_outcome(outcome), m_home(QThread::currentThread()) {}

public slots:
    void slotRecord()
    {
        m_outcome.queuedCallRan = true;
        m_outcome.ranOnWaitingThread = QThread::currentThread() == m_home;
    }

private:
    WaitOutcome &m_outcome;
    QThread *const m_home;
};

// Waits `ms` on the calling thread while another thread queues a call to an
// object of the calling thread in the middle of the wait.
WaitOutcome waitWhileACallIsQueued(int ms)
{
    WaitOutcome outcome;
    CallRecorder recorder(outcome);
    std::thread poster([&recorder] {
        QThread::msleep(20);
        QMetaObject::invokeMethod(&recorder, "slotRecord", Qt::QueuedConnection);
    });
    QElapsedTimer clock;
    clock.start();
    waitWithEvents(ms);
    outcome.elapsedMs = clock.elapsed();
    poster.join();
    return outcome;
}

} // namespace

class tst_ThreadUtilities : public QObject
{
    Q_OBJECT

private slots:
    void waitWithEvents_data();
    void waitWithEvents();
    void waitWithEventsOnAQuittingThread();
    void negativeWaitReturns();
    void ensureThreadPoolCapacity_data();
    void ensureThreadPoolCapacity();
};

void tst_ThreadUtilities::waitWithEvents_data()
{
    QTest::addColumn<bool>("onStdThread");
    QTest::newRow("main thread") << false;
    QTest::newRow("thread Qt did not start") << true;
}

void tst_ThreadUtilities::waitWithEvents()
{
    QFETCH(bool, onStdThread);

    WaitOutcome outcome;
    if (onStdThread) {
        std::thread waiter([&] { outcome = waitWhileACallIsQueued(100); });
        waiter.join();
    } else {
        outcome = waitWhileACallIsQueued(100);
    }
    QVERIFY2(outcome.elapsedMs >= 100, qPrintable(QString::number(outcome.elapsedMs)));
    QVERIFY(outcome.queuedCallRan);
    QVERIFY(outcome.ranOnWaitingThread);
}

// A thread asked to quit refuses to run event loops; the wait must still last
// its time so that polling loops on that thread do not spin.
void tst_ThreadUtilities::waitWithEventsOnAQuittingThread()
{
    QThread thread;
    QObject worker;
    worker.moveToThread(&thread);
    // Atomic: QThread::wait() hands over through Qt's own lock, which thread
    // checkers cannot see.
    std::atomic<qint64> elapsedMs{-1};
    QMetaObject::invokeMethod(&worker, [&] {
        thread.quit();
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 3; ++i)
            ::waitWithEvents(50);
        elapsedMs = clock.elapsed();
    });
    thread.start();
    QVERIFY(thread.wait());
    QVERIFY2(elapsedMs >= 150, qPrintable(QString::number(elapsedMs)));
}

void tst_ThreadUtilities::negativeWaitReturns()
{
    ::waitWithEvents(-5);
    ::waitWithEvents(0);
}

void tst_ThreadUtilities::ensureThreadPoolCapacity_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("active");
    QTest::addColumn<int>("expectedMaximum");

    QTest::newRow("100 of 250: raised") << 250 << 100 << 400;
    QTest::newRow("50 of 250: unchanged") << 250 << 50 << 250;
    QTest::newRow("51 of 250: raised") << 250 << 51 << 351;
    QTest::newRow("none active, small pool: raised") << 8 << 0 << 300;
}

void tst_ThreadUtilities::ensureThreadPoolCapacity()
{
    QFETCH(int, maximum);
    QFETCH(int, active);
    QFETCH(int, expectedMaximum);

    QThreadPool *pool = QThreadPool::globalInstance();
    const int originalMaximum = pool->maxThreadCount();
    pool->setMaxThreadCount(maximum);

    // Tasks that hold their thread until released give an exact active count.
    QSemaphore started;
    QSemaphore gate;
    for (int i = 0; i < active; ++i) {
        pool->start([&] {
            started.release();
            gate.acquire();
        });
    }
    started.acquire(active);
    const int activeBefore = pool->activeThreadCount();

    ::ensureThreadPoolCapacity();
    const int maximumAfter = pool->maxThreadCount();

    gate.release(active);
    pool->waitForDone();
    pool->setMaxThreadCount(originalMaximum);

    QCOMPARE(activeBefore, active);
    QCOMPARE(maximumAfter, expectedMaximum);
}

WIVORA_TEST_GUILESS_MAIN(tst_ThreadUtilities)
#include "tst_ThreadUtilities.moc"
