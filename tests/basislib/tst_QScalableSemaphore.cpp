#include "QtTestSuite.h"
#include <QScalableSemaphore.h>

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

class tst_QScalableSemaphore : public QObject
{
    Q_OBJECT

private slots:
    void tryAcquire_data();
    void tryAcquire();
    void loweringBelowHeld();
    void releasingMoreThanHeld();
    void tryAcquireHonoursItsWait_data();
    void tryAcquireHonoursItsWait();
    void neverMoreThanTheMaximum();
};

void tst_QScalableSemaphore::tryAcquire_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("held");
    QTest::addColumn<int>("request");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<int>("availableAfter");

    QTest::newRow("fits") << 3 << 0 << 2 << true << 1;
    QTest::newRow("fits exactly") << 3 << 1 << 2 << true << 0;
    QTest::newRow("one short") << 3 << 2 << 2 << false << 1;
    QTest::newRow("more than the maximum") << 3 << 0 << 4 << false << 3;
    QTest::newRow("maximum zero") << 0 << 0 << 1 << false << 0;
    QTest::newRow("negative maximum counts as zero") << -2 << 0 << 1 << false << 0;
    QTest::newRow("zero permits") << 2 << 2 << 0 << true << 0;
}

void tst_QScalableSemaphore::tryAcquire()
{
    QFETCH(int, maximum);
    QFETCH(int, held);
    QFETCH(int, request);
    QFETCH(bool, taken);
    QFETCH(int, availableAfter);

    QScalableSemaphore semaphore(this);
    semaphore.setMaxAvailable(qMax(maximum, held));
    QVERIFY(semaphore.tryAcquire(held, 0));
    semaphore.setMaxAvailable(maximum);

    QCOMPARE(semaphore.tryAcquire(request, 0), taken);
    QCOMPARE(semaphore.available(), availableAfter);
}

void tst_QScalableSemaphore::loweringBelowHeld()
{
    QScalableSemaphore semaphore(this);
    semaphore.setMaxAvailable(4);
    QVERIFY(semaphore.tryAcquire(3, 0));

    semaphore.setMaxAvailable(1);
    QCOMPARE(semaphore.maxAvailable(), 1);
    QCOMPARE(semaphore.available(), 0);
    QVERIFY(!semaphore.tryAcquire(1, 0));

    semaphore.release(2); // one held: the new maximum is reached
    QCOMPARE(semaphore.available(), 0);
    QVERIFY(!semaphore.tryAcquire(1, 0));

    semaphore.release(1);
    QCOMPARE(semaphore.available(), 1);
    QVERIFY(semaphore.tryAcquire(1, 0));
}

// A surplus release gives no credit beyond the maximum.
void tst_QScalableSemaphore::releasingMoreThanHeld()
{
    QScalableSemaphore semaphore(this);
    QCOMPARE(semaphore.maxAvailable(), 1);
    semaphore.release(5);
    QCOMPARE(semaphore.available(), 1);
    QVERIFY(!semaphore.tryAcquire(2, 0));
    QVERIFY(semaphore.tryAcquire(1, 0));
}

void tst_QScalableSemaphore::tryAcquireHonoursItsWait_data()
{
    QTest::addColumn<QString>("duringTheWait");
    QTest::addColumn<int>("waitMs");
    QTest::addColumn<bool>("taken");

    QTest::newRow("nothing freed") << "nothing" << 200 << false;
    QTest::newRow("a release") << "release" << 10000 << true;
    QTest::newRow("a raised maximum") << "raise" << 10000 << true;
    QTest::newRow("no limit, a release") << "release" << -1 << true;
}

void tst_QScalableSemaphore::tryAcquireHonoursItsWait()
{
    QFETCH(QString, duringTheWait);
    QFETCH(int, waitMs);
    QFETCH(bool, taken);

    QScalableSemaphore semaphore(this);
    semaphore.setMaxAvailable(1);
    QVERIFY(semaphore.tryAcquire(1, 0));

    std::thread other([&] {
        QThread::msleep(50);
        if (duringTheWait == QLatin1String("release"))
            semaphore.release(1);
        else if (duringTheWait == QLatin1String("raise"))
            semaphore.setMaxAvailable(2);
    });
    QElapsedTimer clock;
    clock.start();
    const bool result = semaphore.tryAcquire(1, waitMs);
    const qint64 elapsedMs = clock.elapsed();
    other.join();

    QCOMPARE(result, taken);
    if (!taken)
        QVERIFY2(elapsedMs >= waitMs, qPrintable(QString::number(elapsedMs)));
}

// Workers take and give back permits while the maximum moves up and down. The
// ceiling is never below the maximum in force: it is raised before the
// maximum, and lowered only once every worker has given back what it may
// have taken under the old maximum. Held permits must stay within it.
void tst_QScalableSemaphore::neverMoreThanTheMaximum()
{
    constexpr int workerCount = 8;
    constexpr int cyclesPerWorker = 10000;
    QScalableSemaphore semaphore(this);
    semaphore.setMaxAvailable(4);
    std::atomic<int> ceiling{4};
    std::atomic<int> held{0};
    std::atomic<int> excess{0};
    std::atomic<int> cycles[workerCount];
    std::atomic<int> finished{0};
    for (std::atomic<int> &c : cycles)
        c = 0;

    std::vector<std::thread> workers;
    for (int w = 0; w < workerCount; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < cyclesPerWorker; ++i) {
                const int permits = 1 + (i + w) % 2;
                if (i % 2 == 0) {
                    semaphore.acquire(permits);
                } else {
                    while (!semaphore.tryAcquire(permits, 1)) {
                    }
                }
                if (held.fetch_add(permits) + permits > ceiling.load())
                    ++excess;
                held.fetch_sub(permits);
                semaphore.release(permits);
                ++cycles[w];
            }
            ++finished;
        });
    }

    QRandomGenerator random(20240501);
    int maximum = 4;
    int lowerings = 0;
    while (finished.load() < workerCount) {
        const int next = random.bounded(2, 7); // two permits always fit
        if (next >= maximum) {
            ceiling = next;
            semaphore.setMaxAvailable(next);
        } else {
            semaphore.setMaxAvailable(next);
            int seen[workerCount];
            for (int w = 0; w < workerCount; ++w)
                seen[w] = cycles[w].load();
            for (int w = 0; w < workerCount; ++w) {
                while (cycles[w].load() == seen[w] && cycles[w].load() < cyclesPerWorker)
                    std::this_thread::yield();
            }
            ceiling = next;
            ++lowerings;
        }
        maximum = next;
        std::this_thread::yield();
    }
    for (std::thread &worker : workers)
        worker.join();

    QCOMPARE(excess.load(), 0);
    QCOMPARE(held.load(), 0);
    QCOMPARE(semaphore.available(), maximum);
    QVERIFY(lowerings > 0);
}

WIVORA_TEST_GUILESS_MAIN(tst_QScalableSemaphore)
#include "tst_QScalableSemaphore.moc"
