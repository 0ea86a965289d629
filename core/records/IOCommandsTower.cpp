#include "IOCommandsTower.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>
#include <QtDebug>

namespace {

const QString kIdKey = QStringLiteral("ID");
const QString kCommandKey = QStringLiteral("command");

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
        appendLocked(m_output, cmmd, id);
    }
    emit signalOutputCommandReceived(id, receiver, serverConnection, connectionID);
}

void IOCommandsTower::putInputCommand(const KvrConfig &cmd)
{
    const QString id = cmd.gv(kIdKey);
    {
        QMutexLocker lock(&m_inputMutex);
        appendLocked(m_input, cmd, id);
        for (auto waiter = m_inputWaiters.constFind(id); waiter != m_inputWaiters.cend() && waiter.key() == id;
             ++waiter)
            waiter.value()->wakeAll();
    }
    emit signalInputCommandReceived(id, cmd.gv(kCommandKey));
}

KvrConfig IOCommandsTower::takeOutputCommand(const QString &id)
{
    return take(m_output, m_outputMutex, id);
}

KvrConfig IOCommandsTower::takeInputCommand(const QString &id)
{
    return take(m_input, m_inputMutex, id);
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

KvrConfig IOCommandsTower::waitInputCommand(const QString &id, int timeoutMs)
{
    const QDeadlineTimer deadline(qMax(timeoutMs, 0), Qt::PreciseTimer);
    return threadRunsEventLoop() ? waitKeepingEvents(id, deadline) : waitBlocking(id, deadline);
}

std::chrono::milliseconds IOCommandsTower::maxRecordAge() const
{
    return std::chrono::milliseconds(m_maxRecordAgeMs.load());
}

void IOCommandsTower::setMaxRecordAge(std::chrono::milliseconds age)
{
    m_maxRecordAgeMs.store(age.count());
}

void IOCommandsTower::appendLocked(QList<StoredRecord> &list, const KvrConfig &record, const QString &id)
{
    // Stamps are taken under the lock, so they never decrease along the list
    // and the old records are all at its front.
    const Clock::time_point now = Clock::now();
    const Clock::time_point oldestKept = now - maxRecordAge();
    int expired = 0;
    while (expired < list.size() && list.at(expired).putAt < oldestKept)
        ++expired;
    if (expired > 0) {
        list.erase(list.begin(), list.begin() + expired);
        qDebug().nospace() << "dropped " << expired << " records nobody took";
    }
    list.append(StoredRecord{record, id, now});
}

KvrConfig IOCommandsTower::takeLocked(QList<StoredRecord> &list, const QString &id, bool *found)
{
    for (int i = 0; i < list.size(); ++i) {
        if (list.at(i).id == id) {
            if (found)
                *found = true;
            return list.takeAt(i).record;
        }
    }
    if (found)
        *found = false;
    return KvrConfig();
}

KvrConfig IOCommandsTower::take(QList<StoredRecord> &list, QMutex &mutex, const QString &id)
{
    QMutexLocker lock(&mutex);
    return takeLocked(list, id);
}

KvrConfig IOCommandsTower::waitBlocking(const QString &id, const QDeadlineTimer &deadline)
{
    QMutexLocker lock(&m_inputMutex);
    bool found = false;
    KvrConfig record = takeLocked(m_input, id, &found);
    if (found || deadline.hasExpired())
        return record;
    QWaitCondition arrived;
    m_inputWaiters.insert(id, &arrived);
    do {
        arrived.wait(&m_inputMutex, deadline);
        record = takeLocked(m_input, id, &found);
    } while (!found && !deadline.hasExpired());
    m_inputWaiters.remove(id, &arrived);
    return record;
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

    for (;;) {
        bool found = false;
        KvrConfig record;
        {
            QMutexLocker lock(&m_inputMutex);
            record = takeLocked(m_input, id, &found);
        }
        if (found || deadline.hasExpired())
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
