#include "UpdateCheck.h"

#include "UpdateTask.h"

#include <ThreadUtilities.h>

#include <QtConcurrent>

UpdateCheck::UpdateCheck(int roundIntervalMs, QObject *parent)
    : QObject(parent)
    , m_roundIntervalMs(roundIntervalMs)
{
}

UpdateCheck::~UpdateCheck()
{
    stop();
}

void UpdateCheck::start()
{
    if (m_running)
        return;
    // Whichever thread lets go of the task last, it is deleted on this one.
    const std::shared_ptr<UpdateTask> task(new UpdateTask(m_roundIntervalMs),
                                           [](UpdateTask *ended) { ended->deleteLater(); });
    // Queued: the task reports from its pool thread and may outlive this
    // object; a report still on its way when this goes is dropped.
    connect(task.get(), &UpdateTask::signalAddProgressBar, this, &UpdateCheck::signalAddProgressBar,
            Qt::QueuedConnection);
    connect(task.get(), &UpdateTask::signalRemoveProgressbar, this, &UpdateCheck::signalRemoveProgressbar,
            Qt::QueuedConnection);
    connect(task.get(), &UpdateTask::signalProgress, this, &UpdateCheck::signalProgress, Qt::QueuedConnection);
    m_running = task;
    ensureThreadPoolCapacity();
    m_task = QtConcurrent::run([task] { task->run(); });
}

void UpdateCheck::stop()
{
    if (!m_running)
        return;
    m_running->stop();
    m_running.reset();
}
