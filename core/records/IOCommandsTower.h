#pragma once

#include "InputListBudget.h"

#include <KvrConfig.h>

#include <QDeadlineTimer>
#include <QList>
#include <QMultiHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <chrono>

// The hand-over point of the command road: every record leaving for another
// user waits in the output list, every record that arrived (user links, the
// main-server link, the relay) waits in the input list, until someone takes
// it by its "ID". Records never travel in signals: a put stores the record,
// then signals only its "ID" and routing strings.
//
// Any thread may put, take or wait. Each list has its own lock, no operation
// holds both, and signals are emitted after unlocking, so a directly
// connected receiver may take the record at once.
//
// A record that a thread is blocked waiting for (waitInputCommand on a thread
// without a running event loop) is handed to that thread by the put itself:
// it never enters the list and is not announced, since nobody else could take
// it any more, and announcing it would wake a handler for nothing.
//
// A record nobody takes (a reply that came after its asker gave up, a record
// no plug-in claims) would otherwise stay for the life of the process: each
// put first drops the records of its list that are older than maxRecordAge.
// The input list is also capped by count and bytes (InputListBudget): an
// input put first drops the oldest records of whoever is over, so no sender
// fills the memory and a flood pushes out only the flooder's own records.
class IOCommandsTower : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds DefaultMaxRecordAge = std::chrono::minutes(10);

    explicit IOCommandsTower(QObject *parent = nullptr);

    // The first record with that "ID" (exact match), removed from its list;
    // an empty record when there is none.
    KvrConfig takeOutputCommand(const QString &id);
    KvrConfig takeInputCommand(const QString &id);
    bool hasInputCommand(const QString &id) const;
    // The first record with that "ID", left in the list; empty when none.
    KvrConfig peekInputCommand(const QString &id) const;

    // takeInputCommand that waits up to timeoutMs for the record to arrive and
    // returns as soon as it is put. On a thread whose event loop is running,
    // the thread's events keep being delivered meanwhile (and may re-enter the
    // caller); other threads simply block, and take the record straight from
    // its put. An empty record on time-out.
    KvrConfig waitInputCommand(const QString &id, int timeoutMs);
    // At the end of a session no awaited reply can come any more: every wait
    // returns at once with what is there, until allowWaits. Threads of the
    // plug-ins can then be joined without waiting out their time-outs.
    void endWaits();
    void allowWaits();

    std::chrono::milliseconds maxRecordAge() const;
    void setMaxRecordAge(std::chrono::milliseconds age);
    void setInputLimits(const InputListBudget::Limits &limits);

public slots:
    void putOutputCommand(const KvrConfig &cmmd, const QString &receiver, bool serverConnection,
                          const QString &connectionID);
    void putInputCommand(const KvrConfig &cmd);

signals:
    void signalInputCommandReceived(const QString &id, const QString &command);
    // Wakes the waits that keep events flowing; see endWaits.
    void waitsEnded();
    void signalOutputCommandReceived(const QString &id, const QString &receiver, bool serverConnection,
                                     const QString &connectionID);

private:
    using Clock = std::chrono::steady_clock;

    struct StoredRecord
    {
        KvrConfig record;
        QString id; // the record's "ID", read once
        Clock::time_point putAt;
        // Input list only: whose budget it counts under, and how much.
        QString owner;
        qint64 bytes = 0;
    };

    // All expect the list's lock to be held; the budget is the input list's
    // (null for the output list).
    void dropExpiredLocked(QList<StoredRecord> &list, InputListBudget *budget);
    void makeRoomLocked(const QString &owner, qint64 bytes);
    static KvrConfig takeLocked(QList<StoredRecord> &list, InputListBudget *budget, const QString &id,
                                bool *found = nullptr);
    static void removeLocked(QList<StoredRecord> &list, InputListBudget *budget, int index);

    KvrConfig takeInputLocked(const QString &id, bool *found = nullptr);
    KvrConfig waitBlocking(const QString &id, const QDeadlineTimer &deadline);
    KvrConfig waitKeepingEvents(const QString &id, const QDeadlineTimer &deadline);

    QList<StoredRecord> m_input;
    InputListBudget m_inputBudget;
    QList<StoredRecord> m_output;
    mutable QMutex m_inputMutex;
    QMutex m_outputMutex;
    // A thread blocked in waitBlocking, and the record a put handed to it.
    struct BlockedWaiter
    {
        QWaitCondition handedOver;
        KvrConfig record;
        bool served = false;
    };
    // The blocked waiters by the "ID" each waits for: a put serves one of
    // those that wait for its record and wakes no other thread.
    QMultiHash<QString, BlockedWaiter *> m_inputWaiters;
    bool m_waitsEnded = false; // under the input lock
    std::atomic<std::chrono::milliseconds::rep> m_maxRecordAgeMs{DefaultMaxRecordAge.count()};
};
