#include "CheckingThread.h"

#include <ThreadUtilities.h>

#include <chrono>

CheckingThread::CheckingThread(QObject *parent)
    : QThread(parent)
{
}

CheckingThread::~CheckingThread()
{
    finish();
}

void CheckingThread::finish()
{
    requestStop();
    wait();
}

void CheckingThread::startChecking()
{
    m_stop = false;
    m_checking = true;
}

void CheckingThread::stopChecking()
{
    slotStopChecking();
}

void CheckingThread::slotStartChecking()
{
    m_running = true;
    runLoop();
    // The request is answered: a later start() runs the loop again.
    m_stop = false;
    m_running = false;
}

void CheckingThread::slotStopChecking()
{
    if (!isRunning())
        return; // a request now would end the next run at once
    requestStop();
    // A loop that has not begun yet sees the request when it begins.
    while (m_running)
        waitWithEvents(10);
}

void CheckingThread::run()
{
    slotStartChecking();
}

void CheckingThread::pause(int ms)
{
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop.load(); });
}

void CheckingThread::requestStop()
{
    {
        // Under the pause lock, so a loop about to pause cannot miss it.
        std::lock_guard<std::mutex> lock(m_pauseMutex);
        m_stop = true;
    }
    m_wake.notify_all();
}
