#include "QtTestSuite.h"
#include <WNamedMutex.h>

#include <QElapsedTimer>
#include <QSemaphore>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Runs `body` on a thread that holds `name` until `release` is signalled.
class Holder
{
public:
    explicit Holder(const QString &name)
        : m_thread([this, name] {
              WNamedMutex::lock(name);
              m_locked.release();
              m_release.acquire();
              WNamedMutex::unlock(name);
          })
    {
        m_locked.acquire();
    }
    ~Holder() { release(); }

    void release()
    {
        if (m_thread.joinable()) {
            m_release.release();
            m_thread.join();
        }
    }

private:
    QSemaphore m_locked;
    QSemaphore m_release;
    std::thread m_thread;
};

} // namespace

class tst_WNamedMutex : public QObject
{
    Q_OBJECT

private slots:
    void otherCallerWhileHeld_data();
    void otherCallerWhileHeld();
    void waiterGetsTheLockOnRelease();
    void sameThreadMayLockAgain();
    void unlockByANonHolderIsRefused();
    void stress();
    void locker();
};

void tst_WNamedMutex::otherCallerWhileHeld_data()
{
    QTest::addColumn<QString>("held");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<bool>("taken");

    QTest::newRow("same name waits") << "alice" << "alice" << false;
    QTest::newRow("other name runs") << "alice" << "bob" << true;
    QTest::newRow("empty name is a name") << "" << "" << false;
}

void tst_WNamedMutex::otherCallerWhileHeld()
{
    QFETCH(QString, held);
    QFETCH(QString, wanted);
    QFETCH(bool, taken);

    Holder holder(held);
    QCOMPARE(WNamedMutex::tryLock(wanted, 50), taken);
    if (taken)
        QVERIFY(WNamedMutex::unlock(wanted));
    holder.release();
    // Released: free for anyone, and the failed try left nothing behind.
    QVERIFY(WNamedMutex::tryLock(held, 0));
    QVERIFY(WNamedMutex::unlock(held));
}

void tst_WNamedMutex::waiterGetsTheLockOnRelease()
{
    Holder holder("carol");
    // One waiter gives up while another keeps waiting on the same name.
    QVERIFY(!WNamedMutex::tryLock("carol", 20));
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        WNamedMutex::lock("carol");
        taken = true;
        WNamedMutex::unlock("carol");
    });
    QVERIFY(!WNamedMutex::tryLock("carol", 20));
    QVERIFY(!taken);
    holder.release();
    waiter.join();
    QVERIFY(taken);
}

void tst_WNamedMutex::sameThreadMayLockAgain()
{
    WNamedMutex::lock("dave");
    QVERIFY(WNamedMutex::tryLock("dave", 0));

    auto othersCanTake = [] {
        bool result = false;
        std::thread other([&] {
            result = WNamedMutex::tryLock("dave", 0);
            if (result)
                WNamedMutex::unlock("dave");
        });
        other.join();
        return result;
    };
    QVERIFY(WNamedMutex::unlock("dave"));
    QVERIFY(!othersCanTake());
    QVERIFY(WNamedMutex::unlock("dave"));
    QVERIFY(othersCanTake());
    QVERIFY(!WNamedMutex::unlock("dave"));
}

void tst_WNamedMutex::unlockByANonHolderIsRefused()
{
    Holder holder("erin");
    QVERIFY(!WNamedMutex::unlock("erin"));
    QVERIFY(!WNamedMutex::tryLock("erin", 0));
    QVERIFY(!WNamedMutex::unlock("never-locked"));
}

// Threads lock, try with short waits and unlock a few names in turn; each
// name must never have two holders, and waiters that give up must not
// disturb those still waiting.
void tst_WNamedMutex::stress()
{
    const QStringList names{"n0", "n1", "n2"};
    std::atomic<int> inside[3] = {{0}, {0}, {0}};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const int n = (t + i) % 3;
                const bool byTry = i % 2 == 0;
                if (byTry && !WNamedMutex::tryLock(names[n], i % 3))
                    continue;
                if (!byTry)
                    WNamedMutex::lock(names[n]);
                if (inside[n].fetch_add(1) != 0)
                    ++overlaps;
                std::this_thread::yield();
                inside[n].fetch_sub(1);
                WNamedMutex::unlock(names[n]);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(overlaps.load(), 0);
}

void tst_WNamedMutex::locker()
{
    auto othersCanTake = [] {
        bool result = false;
        std::thread other([&] {
            result = WNamedMutex::tryLock("frank", 0);
            if (result)
                WNamedMutex::unlock("frank");
        });
        other.join();
        return result;
    };
    {
        WNamedMutexLocker locked("frank");
        QVERIFY(!othersCanTake());
    }
    QVERIFY(othersCanTake());
}

WIVORA_TEST_GUILESS_MAIN(tst_WNamedMutex)
#include "tst_WNamedMutex.moc"
