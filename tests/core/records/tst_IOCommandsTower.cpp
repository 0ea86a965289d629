#include "QtTestSuite.h"
#include "IOCommandsTower.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Long enough that a wait which is not woken by the put hangs the test
// rather than passing late.
constexpr int kWaitForeverMs = 10 * 60 * 1000;

const QString kNoId = QStringLiteral("~"); // a record without an "ID" key

KvrConfig makeRecord(const QString &id, const QString &payload, const QString &command = QStringLiteral("chat"))
{
    KvrConfig record;
    if (id != kNoId)
        record.sv(QStringLiteral("ID"), id);
    record.sv(QStringLiteral("command"), command);
    record.sv(QStringLiteral("payload"), payload);
    return record;
}

// A step of an input-list row: "m3" puts record "m3" from sender "m" (the
// first letter), "m3:5000" with 5000 payload bytes, "S1" a push of the main
// server (no sender), "-m3" takes "m3".
void applyInputStep(IOCommandsTower &tower, const QString &step)
{
    if (step.startsWith(QLatin1Char('-'))) {
        tower.takeInputCommand(step.mid(1));
        return;
    }
    const QStringList parts = step.split(QLatin1Char(':'));
    const QString id = parts.at(0);
    const bool fromServer = id.startsWith(QLatin1Char('S'));
    KvrConfig record = makeRecord(id, QString(), fromServer ? QStringLiteral("Local::userStatusChanged")
                                                             : QStringLiteral("probe:::flood"));
    if (!fromServer)
        record.sv(QStringLiteral("Wivora::sender"), id.left(1));
    if (parts.size() > 1)
        record.SetValue(QStringLiteral("payload"), QByteArray(parts.at(1).toInt(), 'x'));
    tower.putInputCommand(record);
}

// Waits until the thread tid of this process sleeps (its state in /proc is
// "S"); false when it does not within a generous time.
bool waitUntilAsleep(pid_t tid)
{
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
        if (stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.readAll();
            if (text.mid(text.lastIndexOf(')') + 2, 1) == "S")
                return true;
        }
        QThread::msleep(1);
    }
    return false;
}

InputListBudget::Limits limits(int senderRecords, qint64 senderBytes, int allRecords, qint64 allBytes,
                               int serverRecords)
{
    InputListBudget::Limits limits;
    limits.perSender = {senderRecords, senderBytes};
    limits.allSenders = {allRecords, allBytes};
    limits.server = {serverRecords, 1 << 20};
    return limits;
}

// The payload of a taken record; "-" for the empty record a failed take gives.
QString payloadOf(const KvrConfig &record)
{
    return record.isEmpty() ? QStringLiteral("-") : record.gv(QStringLiteral("payload"));
}

} // namespace

Q_DECLARE_METATYPE(InputListBudget::Limits)

class tst_IOCommandsTower : public QObject
{
    Q_OBJECT

private slots:
    void takes_data();
    void takes();
    void putsSignalAfterUnlocking();
    void concurrentPutsAndTakesLoseNothing();
    void unclaimedRecordsAge_data();
    void unclaimedRecordsAge();
    void inputListCaps_data();
    void inputListCaps();
    void waitEndsWhenRecordArrives_data();
    void waitEndsWhenRecordArrives();
    void waitersOfSeveralRecordsEachGetTheirOwn();
    void blockedWaiterTakesRecordUnannounced();
    void waitKeepsEventsFlowing_data();
    void waitKeepsEventsFlowing();
    void endedWaitsReturnAtOnce();
};

void tst_IOCommandsTower::takes_data()
{
    // Operations: "in|out <id> <payload>" puts, "in|out <id>" takes.
    QTest::addColumn<QStringList>("puts");
    QTest::addColumn<QStringList>("takes");
    QTest::addColumn<QStringList>("taken"); // payload per take, "-" for none

    QTest::newRow("absent id on empty lists")
        << QStringList() << QStringList{"in a", "out a"} << QStringList{"-", "-"};
    QTest::newRow("absent id leaves the list unchanged")
        << QStringList{"in a 1"} << QStringList{"in b", "in a", "in a"} << QStringList{"-", "1", "-"};
    QTest::newRow("same id taken in put order")
        << QStringList{"in a 1", "in b 2", "in a 3"} << QStringList{"in a", "in a", "in b", "in a"}
        << QStringList{"1", "3", "2", "-"};
    QTest::newRow("ids match exactly, case counts")
        << QStringList{"in Ab 1"} << QStringList{"in ab", "in Ab"} << QStringList{"-", "1"};
    QTest::newRow("record without id is taken with an empty id")
        << QStringList{"out ~ 1", "out x 2"} << QStringList{"out x", "out ~"} << QStringList{"2", "1"};
    QTest::newRow("input and output are independent")
        << QStringList{"in a 1", "out a 2"} << QStringList{"out a", "out a", "in a", "in a"}
        << QStringList{"2", "-", "1", "-"};
}

void tst_IOCommandsTower::takes()
{
    QFETCH(QStringList, puts);
    QFETCH(QStringList, takes);
    QFETCH(QStringList, taken);

    IOCommandsTower tower;
    for (const QString &put : puts) {
        const QStringList parts = put.split(QLatin1Char(' '));
        const KvrConfig record = makeRecord(parts.at(1), parts.at(2));
        if (parts.at(0) == QLatin1String("in"))
            tower.putInputCommand(record);
        else
            tower.putOutputCommand(record, QStringLiteral("bob"), false, QString());
    }
    QStringList results;
    for (const QString &take : takes) {
        const QStringList parts = take.split(QLatin1Char(' '));
        const QString id = parts.at(1) == kNoId ? QString() : parts.at(1);
        if (parts.at(0) == QLatin1String("in")) {
            const bool present = tower.hasInputCommand(id);
            const KvrConfig record = tower.takeInputCommand(id);
            QCOMPARE(present, !record.isEmpty());
            results << payloadOf(record);
        } else {
            results << payloadOf(tower.takeOutputCommand(id));
        }
    }
    QCOMPARE(results, taken);
}

void tst_IOCommandsTower::putsSignalAfterUnlocking()
{
    IOCommandsTower tower;
    // Directly connected receivers take the record inside the signal: a put
    // that still held its lock would deadlock here.
    QStringList takenInSlot;
    connect(&tower, &IOCommandsTower::signalInputCommandReceived, this,
            [&](const QString &id) { takenInSlot << payloadOf(tower.takeInputCommand(id)); });
    connect(&tower, &IOCommandsTower::signalOutputCommandReceived, this,
            [&](const QString &id) { takenInSlot << payloadOf(tower.takeOutputCommand(id)); });
    QSignalSpy inputSpy(&tower, &IOCommandsTower::signalInputCommandReceived);
    QSignalSpy outputSpy(&tower, &IOCommandsTower::signalOutputCommandReceived);

    tower.putInputCommand(makeRecord(QStringLiteral("i1"), QStringLiteral("in"), QStringLiteral("echo:::x")));
    tower.putInputCommand(makeRecord(kNoId, QStringLiteral("no id")));
    tower.putOutputCommand(makeRecord(QStringLiteral("o1"), QStringLiteral("out")), QStringLiteral("bob"), true,
                           QStringLiteral("{link}"));

    QCOMPARE(takenInSlot, (QStringList{"in", "no id", "out"}));
    QCOMPARE(inputSpy.size(), 2);
    QCOMPARE(inputSpy.at(0), (QVariantList{QStringLiteral("i1"), QStringLiteral("echo:::x")}));
    QCOMPARE(inputSpy.at(1), (QVariantList{QString(), QStringLiteral("chat")}));
    QCOMPARE(outputSpy.size(), 1);
    QCOMPARE(outputSpy.at(0),
             (QVariantList{QStringLiteral("o1"), QStringLiteral("bob"), true, QStringLiteral("{link}")}));
}

void tst_IOCommandsTower::concurrentPutsAndTakesLoseNothing()
{
    constexpr int threadCount = 8;
    constexpr int perThread = 10000 / threadCount;
    IOCommandsTower tower;

    // Thread t puts its own records into both lists and takes those of
    // thread t + 1, so every take races with another thread's puts.
    std::atomic<int> takenInput{0};
    std::atomic<int> takenOutput{0};
    std::atomic<int> wrongPayloads{0};
    auto idOf = [](int thread, int n) { return QStringLiteral("%1-%2").arg(thread).arg(n); };
    auto work = [&](int thread) {
        const int source = (thread + 1) % threadCount;
        for (int n = 0; n < perThread; ++n) {
            const QString own = idOf(thread, n);
            tower.putInputCommand(makeRecord(own, own));
            tower.putOutputCommand(makeRecord(own, own), QStringLiteral("bob"), false, QString());

            const QString wanted = idOf(source, n);
            const KvrConfig input = tower.waitInputCommand(wanted, 60000);
            takenInput += !input.isEmpty();
            wrongPayloads += payloadOf(input) != wanted;
            KvrConfig output;
            for (int attempt = 0; output.isEmpty() && attempt < 1000000; ++attempt) {
                output = tower.takeOutputCommand(wanted);
                if (output.isEmpty())
                    std::this_thread::yield();
            }
            takenOutput += !output.isEmpty();
            wrongPayloads += payloadOf(output) != wanted;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back(work, t);
    for (std::thread &thread : threads)
        thread.join();

    QCOMPARE(takenInput.load(), threadCount * perThread);
    QCOMPARE(takenOutput.load(), threadCount * perThread);
    QCOMPARE(wrongPayloads.load(), 0);
    QVERIFY(!tower.hasInputCommand(idOf(0, 0)));
}

void tst_IOCommandsTower::unclaimedRecordsAge_data()
{
    QTest::addColumn<bool>("output");
    QTest::addColumn<int>("maxAgeMs"); // 0: the default
    QTest::addColumn<bool>("oldKept");

    QTest::newRow("input: old record dropped by the next put") << false << 1 << false;
    QTest::newRow("output: old record dropped by the next put") << true << 1 << false;
    QTest::newRow("input: default age keeps it") << false << 0 << true;
    QTest::newRow("output: default age keeps it") << true << 0 << true;
}

void tst_IOCommandsTower::unclaimedRecordsAge()
{
    QFETCH(bool, output);
    QFETCH(int, maxAgeMs);
    QFETCH(bool, oldKept);

    IOCommandsTower tower;
    QVERIFY(tower.maxRecordAge() >= std::chrono::minutes(1));
    if (maxAgeMs > 0)
        tower.setMaxRecordAge(std::chrono::milliseconds(maxAgeMs));
    auto put = [&](const QString &id) {
        if (output)
            tower.putOutputCommand(makeRecord(id, id), QStringLiteral("bob"), false, QString());
        else
            tower.putInputCommand(makeRecord(id, id));
    };
    auto take = [&](const QString &id) { return output ? tower.takeOutputCommand(id) : tower.takeInputCommand(id); };

    put(QStringLiteral("old"));
    QThread::msleep(20); // older than the short limit by far
    put(QStringLiteral("new"));

    QCOMPARE(take(QStringLiteral("old")).isEmpty(), !oldKept);
    QCOMPARE(payloadOf(take(QStringLiteral("new"))), QStringLiteral("new"));
}

void tst_IOCommandsTower::inputListCaps_data()
{
    QTest::addColumn<InputListBudget::Limits>("limits");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("kept"); // the records still there, in put order

    constexpr qint64 big = 1 << 30;
    QTest::newRow("sender over its count loses its own oldest")
        << limits(2, big, 100, big, 100) << QStringList{"a1", "m1", "m2", "m3"} << QStringList{"a1", "m2", "m3"};
    QTest::newRow("a flood leaves other senders alone")
        << limits(3, big, 100, big, 100) << QStringList{"a1", "m1", "m2", "m3", "m4", "m5", "m6", "a2"}
        << QStringList{"a1", "m4", "m5", "m6", "a2"};
    QTest::newRow("sender over its bytes loses as many as needed")
        << limits(100, 2500, 100, big, 100) << QStringList{"m1:1000", "m2:1000", "a1:1000", "m3:2000"}
        << QStringList{"a1", "m3"};
    QTest::newRow("a record larger than its sender's cap still goes in, alone")
        << limits(100, 2500, 100, big, 100) << QStringList{"m1:100", "a1:100", "m2:10000"}
        << QStringList{"a1", "m2"};
    QTest::newRow("taken records give their room back")
        << limits(2, big, 100, big, 100) << QStringList{"m1", "m2", "-m1", "m3"} << QStringList{"m2", "m3"};
    QTest::newRow("all senders over their count: the sender holding most loses")
        << limits(100, big, 4, big, 100) << QStringList{"a1", "b1:500", "b2:500", "c1", "d1"}
        << QStringList{"a1", "b2", "c1", "d1"};
    QTest::newRow("all senders over their bytes: the sender holding most loses")
        << limits(100, big, 100, 3000, 100) << QStringList{"a1:500", "b1:1000", "b2:1000", "c1:900"}
        << QStringList{"a1", "b2", "c1"};
    QTest::newRow("the server's pushes have a budget of their own")
        << limits(2, big, 3, big, 2) << QStringList{"S1", "m1", "m2", "m3", "a1", "b1", "S2"}
        << QStringList{"S1", "m3", "a1", "b1", "S2"};
    QTest::newRow("the server over its count loses its own oldest")
        << limits(2, big, 3, big, 2) << QStringList{"S1", "a1", "S2", "S3"} << QStringList{"a1", "S2", "S3"};
}

void tst_IOCommandsTower::inputListCaps()
{
    QFETCH(InputListBudget::Limits, limits);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, kept);

    IOCommandsTower tower;
    tower.setInputLimits(limits);
    QStringList ids;
    for (const QString &step : steps) {
        applyInputStep(tower, step);
        const QString id = step.section(QLatin1Char(':'), 0, 0);
        if (!id.startsWith(QLatin1Char('-')))
            ids << id;
    }
    QStringList present;
    for (const QString &id : ids) {
        if (tower.hasInputCommand(id))
            present << id;
    }
    QCOMPARE(present, kept);
}

void tst_IOCommandsTower::waitEndsWhenRecordArrives_data()
{
    QTest::addColumn<int>("putDelayMs"); // -1: never put, 0: before the wait
    QTest::addColumn<QString>("expected");

    QTest::newRow("already there") << 0 << "r";
    QTest::newRow("arrives from another thread during the wait") << 50 << "r";
    QTest::newRow("never arrives") << -1 << "-";
}

void tst_IOCommandsTower::waitEndsWhenRecordArrives()
{
    QFETCH(int, putDelayMs);
    QFETCH(QString, expected);

    IOCommandsTower tower;
    tower.putInputCommand(makeRecord(QStringLiteral("other"), QStringLiteral("o")));
    if (putDelayMs == 0)
        tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("r")));
    std::thread putter([&] {
        if (putDelayMs <= 0)
            return;
        QThread::msleep(static_cast<unsigned long>(putDelayMs));
        tower.putInputCommand(makeRecord(QStringLiteral("unrelated"), QStringLiteral("u")));
        tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("r")));
    });

    // A thread without a running event loop: the blocking wait.
    QString taken;
    std::thread waiter([&] {
        taken = payloadOf(tower.waitInputCommand(QStringLiteral("wanted"), putDelayMs < 0 ? 100 : kWaitForeverMs));
    });
    waiter.join();
    putter.join();

    QCOMPARE(taken, expected);
    QVERIFY(!tower.hasInputCommand(QStringLiteral("wanted")));
    QVERIFY(tower.hasInputCommand(QStringLiteral("other")));
}

void tst_IOCommandsTower::waitersOfSeveralRecordsEachGetTheirOwn()
{
    IOCommandsTower tower;
    // Two wait for "a", one for "b"; each put wakes only the waiters of its
    // record, and a record goes to exactly one of them.
    const QStringList waitedIds{QStringLiteral("a"), QStringLiteral("a"), QStringLiteral("b")};
    std::vector<QString> taken(std::size_t(waitedIds.size()));
    std::vector<std::thread> waiters;
    for (int i = 0; i < waitedIds.size(); ++i)
        waiters.emplace_back([&, i] {
            taken[std::size_t(i)] = payloadOf(tower.waitInputCommand(waitedIds.at(i), 60000));
        });
    QThread::msleep(50); // the waiters are most likely waiting by now
    tower.putInputCommand(makeRecord(QStringLiteral("b"), QStringLiteral("b1")));
    tower.putInputCommand(makeRecord(QStringLiteral("a"), QStringLiteral("a1")));
    QThread::msleep(20);
    tower.putInputCommand(makeRecord(QStringLiteral("a"), QStringLiteral("a2")));
    // Taken on arrival, not when a waiter nobody woke gives up.
    const auto allTaken = [&tower] {
        return !tower.hasInputCommand(QStringLiteral("a")) && !tower.hasInputCommand(QStringLiteral("b"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(allTaken(), 20000);
    for (std::thread &waiter : waiters)
        waiter.join();

    QCOMPARE(taken[2], QStringLiteral("b1"));
    QStringList ofA{taken[0], taken[1]};
    ofA.sort();
    QCOMPARE(ofA, (QStringList{QStringLiteral("a1"), QStringLiteral("a2")}));
}

void tst_IOCommandsTower::blockedWaiterTakesRecordUnannounced()
{
    IOCommandsTower tower;
    QSignalSpy announced(&tower, &IOCommandsTower::signalInputCommandReceived);
    std::atomic<pid_t> waiterTid{0};
    QString taken;
    std::thread waiter([&] {
        waiterTid = pid_t(::syscall(SYS_gettid));
        taken = payloadOf(tower.waitInputCommand(QStringLiteral("wanted"), kWaitForeverMs));
    });
    QTRY_VERIFY_WITH_TIMEOUT(waiterTid.load() != 0, 20000);
    // Asleep means blocked in the wait: the thread does nothing else.
    QVERIFY(waitUntilAsleep(waiterTid));

    // The waiter takes it from the put: it never enters the list, and no
    // handler is woken for a record nobody else could take.
    tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("r")));
    waiter.join();
    QCOMPARE(taken, QStringLiteral("r"));
    QCOMPARE(announced.size(), 0);
    QVERIFY(!tower.hasInputCommand(QStringLiteral("wanted")));

    // Nobody waits any more: the next one is stored and announced.
    tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("late")));
    QCOMPARE(announced.size(), 1);
    QCOMPARE(payloadOf(tower.takeInputCommand(QStringLiteral("wanted"))), QStringLiteral("late"));
}

void tst_IOCommandsTower::waitKeepsEventsFlowing_data()
{
    QTest::addColumn<bool>("putByOtherThread");

    QTest::newRow("put by a timer of the waiting thread") << false;
    QTest::newRow("put by another thread") << true;
}

void tst_IOCommandsTower::waitKeepsEventsFlowing()
{
    QFETCH(bool, putByOtherThread);

    IOCommandsTower tower;
    std::thread putter;
    QString taken;
    int timersDuringWait = 0;
    QEventLoop outer;
    // The wait runs inside a running event loop, as a poller on the GUI thread
    // does; the waiting thread's own timers must keep firing meanwhile.
    QTimer::singleShot(0, this, [&] {
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            if (++timersDuringWait != 3)
                return;
            if (!putByOtherThread) {
                tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("r")));
                return;
            }
            putter = std::thread(
                [&] { tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("r"))); });
        });
        ticker.start(5);
        taken = payloadOf(tower.waitInputCommand(QStringLiteral("wanted"), kWaitForeverMs));
        outer.quit();
    });
    outer.exec();
    if (putter.joinable())
        putter.join();

    QCOMPARE(taken, QStringLiteral("r"));
    QVERIFY(timersDuringWait >= 3);
}

void tst_IOCommandsTower::endedWaitsReturnAtOnce()
{
    // At the end of a session the waits of both kinds end empty-handed, so
    // the threads that wait can be joined before the tower goes.
    IOCommandsTower tower;
    std::atomic<pid_t> waiterTid{0};
    KvrConfig blockedGot = makeRecord(QStringLiteral("x"), QStringLiteral("unset"));
    std::thread blocked([&] {
        waiterTid = pid_t(::syscall(SYS_gettid));
        blockedGot = tower.waitInputCommand(QStringLiteral("wanted"), kWaitForeverMs);
    });
    QTRY_VERIFY_WITH_TIMEOUT(waiterTid.load() != 0, 20000);
    QVERIFY(waitUntilAsleep(waiterTid));

    KvrConfig loopGot = makeRecord(QStringLiteral("x"), QStringLiteral("unset"));
    QEventLoop outer;
    QTimer::singleShot(0, this, [&] {
        QTimer::singleShot(20, &tower, &IOCommandsTower::endWaits);
        loopGot = tower.waitInputCommand(QStringLiteral("other"), kWaitForeverMs);
        outer.quit();
    });
    outer.exec();
    blocked.join();
    QVERIFY(blockedGot.isEmpty());
    QVERIFY(loopGot.isEmpty());

    // Until allowed again, a wait looks once and does not block; a record
    // already there is still taken.
    std::thread late([&] { blockedGot = tower.waitInputCommand(QStringLiteral("wanted"), kWaitForeverMs); });
    late.join();
    QVERIFY(blockedGot.isEmpty());
    tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("r")));
    QCOMPARE(payloadOf(tower.waitInputCommand(QStringLiteral("wanted"), kWaitForeverMs)), QStringLiteral("r"));

    tower.allowWaits();
    QString taken;
    std::thread waiter([&] { taken = payloadOf(tower.waitInputCommand(QStringLiteral("wanted"), kWaitForeverMs)); });
    QThread::msleep(20);
    tower.putInputCommand(makeRecord(QStringLiteral("wanted"), QStringLiteral("after")));
    waiter.join();
    QCOMPARE(taken, QStringLiteral("after"));
}

WIVORA_TEST_GUILESS_MAIN(tst_IOCommandsTower)
#include "tst_IOCommandsTower.moc"
