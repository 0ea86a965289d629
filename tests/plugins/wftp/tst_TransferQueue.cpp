// The slot queue and the transfer manager: order, maximum, held permits,
// the stored maximum, and transfers on the manager's own pool.
#include "QtTestSuite.h"
#include "TransferFixture.h"

#include <TransferListModel.h>
#include <TransferManager.h>
#include <TransferSlotQueue.h>
#include <WFtpProtocol.h>

#include <QDir>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

int threadsOfThisProcess()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

// When each followed transfer first moved and when it ended, in the order
// its worker saw them.
class EventLog
{
public:
    void follow(const QSharedPointer<TransferWorker> &transfer, const QString &name)
    {
        QObject::connect(transfer.data(), &TransferWorker::progress, transfer.data(),
                         [this, name](const QString &, int percent) {
                             std::lock_guard<std::mutex> lock(m_mutex);
                             if (percent == 100 || !m_events.contains("start " + name))
                                 m_events << (percent == 100 ? "end " : "start ") + name;
                         },
                         Qt::DirectConnection);
    }
    QStringList events() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_events;
};

} // namespace

class tst_TransferQueue : public QObject
{
    Q_OBJECT

private slots:
    void slotsGoInWaitingOrder();
    void raisingTheMaximumAdmitsInOrder();
    void releaseReturnsOnlyHeldSlots_data();
    void releaseReturnsOnlyHeldSlots();
    void loweringTakesNothingBack();
    void neverMoreThanTheMaximum();
    void changeMaxTransfers_data();
    void changeMaxTransfers();
    void setMaxTransfersIgnoresNonPositive();
    void oneAtATimeInOrder();
    void maximumTwoMovesTwoAtOnce();
    void stoppedWaitingTransferFreesTheQueue();
    void listShowsRowsAtAFewUpdatesASecond();
    void endedTransfersKeepNoThreads();

private:
    static const void *row(int i) { return reinterpret_cast<const void *>(quintptr(0x1000 + i * 16)); }
};

void tst_TransferQueue::slotsGoInWaitingOrder()
{
    TransferSlotQueue queue;
    for (int i = 0; i < 3; ++i)
        queue.enqueueTransfer(row(i));
    QVERIFY(!queue.tryTakeSlot(row(2), 0));
    QVERIFY(!queue.tryTakeSlot(row(1), 0));
    QVERIFY(queue.tryTakeSlot(row(0), 0));
    QVERIFY(!queue.tryTakeSlot(row(1), 10));
    QVERIFY(queue.releaseSlot(row(0)));
    // C asks first, B is at the head.
    QVERIFY(!queue.tryTakeSlot(row(2), 10));
    QVERIFY(queue.tryTakeSlot(row(1), 0));
    QCOMPARE(queue.heldSlots(), 1);
}

void tst_TransferQueue::raisingTheMaximumAdmitsInOrder()
{
    TransferSlotQueue queue;
    for (int i = 0; i < 4; ++i)
        queue.enqueueTransfer(row(i));
    QVERIFY(queue.tryTakeSlot(row(0), 0));
    queue.setMaxSlots(3);
    QVERIFY(!queue.tryTakeSlot(row(2), 0));
    QVERIFY(queue.tryTakeSlot(row(1), 0));
    QVERIFY(queue.tryTakeSlot(row(2), 0));
    QVERIFY(!queue.tryTakeSlot(row(3), 10));
    QCOMPARE(queue.heldSlots(), 3);
}

void tst_TransferQueue::releaseReturnsOnlyHeldSlots_data()
{
    QTest::addColumn<bool>("enqueued");
    QTest::addColumn<bool>("released");
    QTest::newRow("never queued") << false << false;
    QTest::newRow("still waiting") << true << false;
    QTest::newRow("released twice") << true << true;
}

void tst_TransferQueue::releaseReturnsOnlyHeldSlots()
{
    QFETCH(bool, enqueued);
    QFETCH(bool, released);
    TransferSlotQueue queue;
    queue.enqueueTransfer(row(0));
    QVERIFY(queue.tryTakeSlot(row(0), 0));
    if (enqueued)
        queue.enqueueTransfer(row(1));
    if (released) {
        QVERIFY(queue.tryTakeSlot(row(0), 0) == false);
        queue.releaseSlot(row(0));
        queue.enqueueTransfer(row(2));
        QVERIFY(queue.tryTakeSlot(row(1), 0));
        QVERIFY(!queue.releaseSlot(row(0)));
        // The one slot is B's: C gets none.
        QVERIFY(!queue.tryTakeSlot(row(2), 10));
        return;
    }
    QVERIFY(!queue.releaseSlot(row(1)));
    queue.removeFromQueue(row(1));
    // A still holds the only slot.
    queue.enqueueTransfer(row(3));
    QVERIFY(!queue.tryTakeSlot(row(3), 10));
    QCOMPARE(queue.heldSlots(), 1);
}

void tst_TransferQueue::loweringTakesNothingBack()
{
    TransferSlotQueue queue;
    queue.setMaxSlots(3);
    for (int i = 0; i < 4; ++i)
        queue.enqueueTransfer(row(i));
    for (int i = 0; i < 3; ++i)
        QVERIFY(queue.tryTakeSlot(row(i), 0));
    queue.setMaxSlots(1);
    QCOMPARE(queue.heldSlots(), 3);
    QVERIFY(queue.releaseSlot(row(0)));
    QVERIFY(!queue.tryTakeSlot(row(3), 10));
    QVERIFY(queue.releaseSlot(row(1)));
    QVERIFY(!queue.tryTakeSlot(row(3), 10));
    QVERIFY(queue.releaseSlot(row(2)));
    QVERIFY(queue.tryTakeSlot(row(3), 0));
}

void tst_TransferQueue::neverMoreThanTheMaximum()
{
    TransferSlotQueue queue;
    queue.setMaxSlots(3);
    std::atomic<int> inside{0}, most{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                queue.enqueueTransfer(row(t));
                while (!queue.tryTakeSlot(row(t), 1))
                    std::this_thread::yield();
                const int now = ++inside;
                int seen = most;
                while (now > seen && !most.compare_exchange_weak(seen, now)) {
                }
                --inside;
                queue.releaseSlot(row(t));
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    QVERIFY(most <= 3);
    QCOMPARE(queue.heldSlots(), 0);
}

void tst_TransferQueue::changeMaxTransfers_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("entered");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QString>("storedAfter");
    QTest::addColumn<int>("maximum");
    QTest::newRow("zero counts as one") << "3" << "0" << true << "1" << 1;
    QTest::newRow("junk counts as one") << "3" << "x" << true << "1" << 1;
    QTest::newRow("one is stored and saved") << "" << "1" << true << "1" << 1;
    QTest::newRow("three") << "1" << "3" << true << "3" << 3;
    QTest::newRow("the stored value changes nothing") << "3" << "3" << false << "3" << 1;
    QTest::newRow("empty text changes nothing") << "3" << "" << false << "3" << 1;
}

void tst_TransferQueue::changeMaxTransfers()
{
    QFETCH(QString, stored);
    QFETCH(QString, entered);
    QFETCH(bool, changed);
    QFETCH(QString, storedAfter);
    QFETCH(int, maximum);
    TransferFixture net;
    auto data = net.alice.getAccount()->accountData;
    if (!stored.isEmpty())
        data->setSetting(TransferManager::MaxTransfersSetting, stored.toLatin1(), true);
    const int savesBefore = net.alice.saves;
    TransferManager manager(net.main());
    QCOMPARE(manager.changeMaxTransfers(entered), changed);
    QCOMPARE(QString(data->getSetting(TransferManager::MaxTransfersSetting)), storedAfter);
    QCOMPARE(net.alice.saves - savesBefore, changed ? 1 : 0);
    QCOMPARE(manager.maxTransfers(), maximum);
}

void tst_TransferQueue::setMaxTransfersIgnoresNonPositive()
{
    TransferFixture net;
    TransferManager manager(net.main());
    manager.setMaxTransfers(4);
    manager.setMaxTransfers(0);
    manager.setMaxTransfers(-2);
    QCOMPARE(manager.maxTransfers(), 4);
}

void tst_TransferQueue::oneAtATimeInOrder()
{
    TransferFixture net;
    for (int i = 0; i < 3; ++i)
        QVERIFY(ShareFixture::writeFile(net.path("bob/f%1.bin").arg(i), TransferFixture::pattern(2 * 1024 * 1024, i)));
    TransferManager manager(net.main());
    EventLog log;
    for (int i = 0; i < 3; ++i)
        log.follow(manager.addTransfer({{QString("vls/bob/docs/root/f%1.bin").arg(i), true}}, net.path("local"),
                                       "vls/bob/docs/root"),
                   QString("f%1.bin").arg(i));
    QVERIFY(manager.waitForDone(60000));
    const QStringList events = log.events();
    QCOMPARE(events, (QStringList{"start f0.bin", "end f0.bin", "start f1.bin", "end f1.bin", "start f2.bin",
                                  "end f2.bin"}));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(ShareFixture::readFile(net.path("local/f%1.bin").arg(i)), TransferFixture::pattern(2 * 1024 * 1024, i));
    QCOMPARE(manager.slotQueue().heldSlots(), 0);
    manager.clearFinished();
    QVERIFY(manager.transfers().isEmpty());
}

void tst_TransferQueue::maximumTwoMovesTwoAtOnce()
{
    TransferFixture net;
    for (int i = 0; i < 3; ++i)
        QVERIFY(ShareFixture::writeFile(net.path("bob/f%1.bin").arg(i), TransferFixture::pattern(1024 * 1024, i)));
    // Replies a little slow, so each transfer lasts long enough to overlap.
    TestHost::ReplyFault slow;
    slow.delayMs = 10;
    net.alice.addReplyFault(WFtpProtocol::ReadFile, slow);
    TransferManager manager(net.main());
    manager.setMaxTransfers(2);
    EventLog log;
    for (int i = 0; i < 3; ++i)
        log.follow(manager.addTransfer({{QString("vls/bob/docs/root/f%1.bin").arg(i), true}}, net.path("local"),
                                       "vls/bob/docs/root"),
                   QString("f%1.bin").arg(i));
    QVERIFY(manager.waitForDone(60000));
    const QStringList events = log.events();
    QCOMPARE(events.size(), 6);
    // Both of the first two move before either ends; the third waits for one.
    QCOMPARE(QSet<QString>(events.begin(), events.begin() + 2), (QSet<QString>{"start f0.bin", "start f1.bin"}));
    QVERIFY(events.indexOf("start f2.bin") > qMin(events.indexOf("end f0.bin"), events.indexOf("end f1.bin")));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(ShareFixture::readFile(net.path("local/f%1.bin").arg(i)), TransferFixture::pattern(1024 * 1024, i));
}

void tst_TransferQueue::stoppedWaitingTransferFreesTheQueue()
{
    TransferFixture net;
    QVERIFY(ShareFixture::writeFile(net.path("bob/f.bin"), "f"));
    TransferManager manager(net.main());
    // The head transfer waits on links that never come; stopping it lets the
    // next one through.
    net.alice.refuseLinks = true;
    auto blocked = manager.addTransfer({{"vls/bob/docs/root/f.bin", true}}, net.path("local"), "vls/bob/docs/root");
    auto waiting = manager.addTransfer({{"vls/alice/docs/root", false}}, net.path("local"), "vls/alice/docs/root");
    QTest::qWait(100);
    QVERIFY(!waiting->hasReturned());
    QElapsedTimer stopping;
    stopping.start();
    blocked->stop();
    QVERIFY(stopping.elapsed() < 50); // stop never blocks its caller
    QTRY_VERIFY_WITH_TIMEOUT(waiting->hasReturned(), 20000);
    QVERIFY(blocked->hasReturned() || manager.waitForDone(20000));
    QCOMPARE(manager.slotQueue().heldSlots(), 0);
}

void tst_TransferQueue::listShowsRowsAtAFewUpdatesASecond()
{
    TransferFixture net;
    QVERIFY(ShareFixture::writeFile(net.path("bob/a.bin"), TransferFixture::pattern(16 * 1024 * 1024)));
    QVERIFY(ShareFixture::writeFile(net.path("bob/b.bin"), "b"));
    TransferManager manager(net.main());
    manager.setMaxTransfers(2);
    auto first = manager.addTransfer({{"vls/bob/docs/root/a.bin", true}}, net.path("local"), "vls/bob/docs/root");
    TransferListModel model(manager);
    QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
    QElapsedTimer running;
    running.start();
    std::atomic<int> chunks{0};
    connect(first.data(), &TransferWorker::progress, this, [&] { ++chunks; }, Qt::DirectConnection);
    QCOMPARE(model.rowCount(), 1);
    manager.addTransfer({{"vls/bob/docs/root/b.bin", true}}, net.path("local"), "vls/bob/docs/root");
    // The row comes with the next turn of the event loop.
    QTRY_COMPARE(model.rowCount(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(model.index(0).data().toString(), QString("bob: docs/a.bin completed 1 of 1"),
                              60000);
    QTRY_COMPARE(model.index(1).data().toString(), QString("bob: docs/b.bin completed 1 of 1"));
    QCOMPARE(model.index(0).data(TransferListModel::PercentRole).toInt(), 100);
    // Coalesced: at most one change per row and refresh, however many chunks.
    QVERIFY(chunks > 20);
    QVERIFY2(changes.count() <= 2 * (running.elapsed() / TransferListModel::RefreshMs + 2),
             qPrintable(QString::number(changes.count())));
}

WIVORA_TEST_GUILESS_MAIN(tst_TransferQueue)

void tst_TransferQueue::endedTransfersKeepNoThreads()
{
    // Rows of ended transfers stay until cleared; a long queue of them must
    // not keep a thread each.
    TransferFixture net;
    constexpr int Transfers = 40;
    for (int i = 0; i < Transfers; ++i)
        QVERIFY(ShareFixture::writeFile(net.path("bob/f%1.bin").arg(i), TransferFixture::pattern(4096, i)));
    TransferManager manager(net.main());
    // One at a time, so the manager's own pool needs a single thread.
    const auto transferOne = [&](int i) {
        manager.addTransfer({{QString("vls/bob/docs/root/f%1.bin").arg(i), true}}, net.path("local"),
                            "vls/bob/docs/root");
        return manager.waitForDone(60000);
    };
    QVERIFY(transferOne(0));
    const int before = threadsOfThisProcess();
    for (int i = 1; i < Transfers; ++i)
        QVERIFY(transferOne(i));
    for (int i = 0; i < Transfers; ++i)
        QCOMPARE(ShareFixture::readFile(net.path("local/f%1.bin").arg(i)), TransferFixture::pattern(4096, i));
    QCOMPARE(manager.transfers().size(), Transfers);
    QVERIFY2(threadsOfThisProcess() - before < Transfers / 4,
             qPrintable(QString("%1 threads before, %2 after").arg(before).arg(threadsOfThisProcess())));
}

#include "tst_TransferQueue.moc"
