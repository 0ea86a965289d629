#include "IOCommandsTower.h"

#include "ClientLogging.h"

#include <ServerProtocol.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QtDebug>

namespace {

const QString kIdKey = QStringLiteral("ID");

bool threadRunsEventLoop()
{
    return QCoreApplication::instance() && QThread::currentThread()->loopLevel() > 0;
}

} // namespace

IOCommandsTower::IOCommandsTower(QObject *parent)
    : QObject(parent)
{
    // The put slots may also be reached through queued connections.
    qRegisterMetaType<KvrConfig>("KvrConfig");
}

void IOCommandsTower::putOutputCommand(const KvrConfig &cmmd, const QString &receiver, bool serverConnection,
                                       const QString &connectionID)
{
    const QString id = cmmd.gv(kIdKey);
    {
        QMutexLocker lock(&m_outputMutex);
        dropExpiredLocked(m_output, nullptr);
        m_output.append(StoredRecord{cmmd, id, Clock::now(), QString(), 0});
    }
    emit signalOutputCommandReceived(id, receiver, serverConnection, connectionID);
}

void IOCommandsTower::putInputCommand(const KvrConfig &cmd)
{
    const QString id = cmd.gv(kIdKey);
    const QString owner = InputListBudget::ownerOf(cmd);
    const qint64 bytes = InputListBudget::sizeOf(cmd);
    {
        QMutexLocker lock(&m_inputMutex);
        for (auto waiter = m_inputWaiters.constFind(id); waiter != m_inputWaiters.cend() && waiter.key() == id;
             ++waiter) {
            BlockedWaiter *const blocked = waiter.value();
            if (!blocked->served) {
                blocked->record = cmd;
                blocked->served = true;
                blocked->handedOver.wakeOne();
                return;
            }
        }
        dropExpiredLocked(m_input, &m_inputBudget);
        makeRoomLocked(owner, bytes);
        m_input.append(StoredRecord{cmd, id, Clock::now(), owner, bytes});
        m_inputBudget.add(owner, bytes);
    }
    emit signalInputCommandReceived(id, cmd.gv(QLatin1String(ServerProtocol::KeyCommand)));
}

KvrConfig IOCommandsTower::takeOutputCommand(const QString &id)
{
    QMutexLocker lock(&m_outputMutex);
    return takeLocked(m_output, nullptr, id);
}

KvrConfig IOCommandsTower::takeInputCommand(const QString &id)
{
    QMutexLocker lock(&m_inputMutex);
    return takeInputLocked(id);
}

bool IOCommandsTower::hasInputCommand(const QString &id) const
{
    QMutexLocker lock(&m_inputMutex);
    for (const StoredRecord &stored : m_input) {
        if (stored.id == id)
            return true;
    }
    return false;
}

KvrConfig IOCommandsTower::peekInputCommand(const QString &id) const
{
    QMutexLocker lock(&m_inputMutex);
    for (const StoredRecord &stored : m_input) {
        if (stored.id == id)
            return stored.record;
    }
    return KvrConfig();
}

KvrConfig IOCommandsTower::waitInputCommand(const QString &id, int timeoutMs)
{
    const QDeadlineTimer deadline(qMax(timeoutMs, 0), Qt::PreciseTimer);
    return threadRunsEventLoop() ? waitKeepingEvents(id, deadline) : waitBlocking(id, deadline);
}

void IOCommandsTower::endWaits()
{
    {
        QMutexLocker lock(&m_inputMutex);
        m_waitsEnded = true;
        for (BlockedWaiter *const blocked : qAsConst(m_inputWaiters)) {
            blocked->served = true;
            blocked->handedOver.wakeOne();
        }
    }
    emit waitsEnded();
}

void IOCommandsTower::allowWaits()
{
    QMutexLocker lock(&m_inputMutex);
    m_waitsEnded = false;
}

std::chrono::milliseconds IOCommandsTower::maxRecordAge() const
{
    return std::chrono::milliseconds(m_maxRecordAgeMs.load());
}

void IOCommandsTower::setMaxRecordAge(std::chrono::milliseconds age)
{
    m_maxRecordAgeMs.store(age.count());
}

void IOCommandsTower::setInputLimits(const InputListBudget::Limits &limits)
{
    QMutexLocker lock(&m_inputMutex);
    m_inputBudget.setLimits(limits);
}

void IOCommandsTower::dropExpiredLocked(QList<StoredRecord> &list, InputListBudget *budget)
{
    // Stamps are taken under the lock, so they never decrease along the list
    // and the old records are all at its front.
    const Clock::time_point oldestKept = Clock::now() - maxRecordAge();
    int expired = 0;
    while (!list.isEmpty() && list.first().putAt < oldestKept) {
        removeLocked(list, budget, 0);
        ++expired;
    }
    if (expired > 0)
        qCDebug(lcRecords).nospace() << "dropped " << expired << " records nobody took";
}

void IOCommandsTower::makeRoomLocked(const QString &owner, qint64 bytes)
{
    while (const std::optional<QString> over = m_inputBudget.ownerToMakeRoomFor(owner, bytes)) {
        int oldest = 0;
        while (oldest < m_input.size() && m_input.at(oldest).owner != *over)
            ++oldest;
        if (oldest == m_input.size())
            return; // cannot happen while the budget counts the list
        qCDebug(lcRecords).noquote().nospace() << "input list full: dropped the oldest record of "
                                               << (over->isEmpty() ? QStringLiteral("an unnamed sender") : *over);
        removeLocked(m_input, &m_inputBudget, oldest);
    }
}

KvrConfig IOCommandsTower::takeLocked(QList<StoredRecord> &list, InputListBudget *budget, const QString &id,
                                      bool *found)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).id == id) {
            if (found)
                *found = true;
            const KvrConfig record = list.at(i).record;
            removeLocked(list, budget, i);
            return record;
        }
    }
    if (found)
        *found = false;
    return KvrConfig();
}

void IOCommandsTower::removeLocked(QList<StoredRecord> &list, InputListBudget *budget, int index)
{
    if (budget)
        budget->remove(list.at(index).owner, list.at(index).bytes);
    list.removeAt(index);
}

KvrConfig IOCommandsTower::takeInputLocked(const QString &id, bool *found)
{
    return takeLocked(m_input, &m_inputBudget, id, found);
}

KvrConfig IOCommandsTower::waitBlocking(const QString &id, const QDeadlineTimer &deadline)
{
    QMutexLocker lock(&m_inputMutex);
    bool found = false;
    KvrConfig record = takeInputLocked(id, &found);
    if (found || m_waitsEnded || deadline.hasExpired())
        return record;
    BlockedWaiter waiter;
    m_inputWaiters.insert(id, &waiter);
    while (!waiter.served && !deadline.hasExpired())
        waiter.handedOver.wait(&m_inputMutex, deadline);
    m_inputWaiters.remove(id, &waiter);
    return waiter.record;
}

KvrConfig IOCommandsTower::waitKeepingEvents(const QString &id, const QDeadlineTimer &deadline)
{
    QEventLoop loop;
    bool woken = false;
    auto wake = [&loop, &woken] {
        woken = true;
        loop.quit();
    };
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer); // a coarse timer may fire early
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, wake);
    // Connected before the first look, so an arrival in between still wakes
    // the loop: from another thread the call is queued to this one.
    connect(this, &IOCommandsTower::signalInputCommandReceived, &loop,
            [&id, wake](const QString &arrivedId) {
                if (arrivedId == id)
                    wake();
            });
    connect(this, &IOCommandsTower::waitsEnded, &loop, wake);

    for (;;) {
        bool found = false;
        bool ended = false;
        KvrConfig record;
        {
            QMutexLocker lock(&m_inputMutex);
            record = takeInputLocked(id, &found);
            ended = m_waitsEnded;
        }
        if (found || ended || deadline.hasExpired())
            return record;
        woken = false;
        timer.start(static_cast<int>(qMax<qint64>(deadline.remainingTime(), 0)));
        loop.exec();
        // A thread that is being asked to quit refuses to run loops: block
        // for the rest of the time instead of spinning.
        if (!woken)
            return waitBlocking(id, deadline);
    }
}
