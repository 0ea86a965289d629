#pragma once

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

// A thread that runs one polling loop from start() until its owner stops it.
// The owner switches the loop's work on with startChecking() and ends the
// loop with stopChecking(), which returns once the loop has left; the thread
// then ends by itself and may be started again.
//
// The loop's pauses end at once when a stop is asked for, so stopping waits
// at most for the step in progress (a server call), never for a pause.
class CheckingThread : public QThread
{
    Q_OBJECT

public:
    static constexpr int DefaultStepMs = 500;

    explicit CheckingThread(QObject *parent = nullptr);
    ~CheckingThread() override;

    // Clears a pending stop request and switches the loop's work on.
    void startChecking();
    // Runs slotStopChecking() on the caller's thread.
    void stopChecking();

    bool isChecking() const { return m_checking; }

    // The loop's pause between two rounds.
    int stepMs() const { return m_stepMs; }
    void setStepMs(int ms) { m_stepMs = qMax(1, ms); }

public slots:
    // The loop; returns when a stop is asked for.
    void slotStartChecking();
    // Asks the loop to stop and waits, with the caller's events flowing, until
    // it has left. Returns at once when the thread is not running.
    void slotStopChecking();

protected:
    void run() override;

    // One run of the loop: returns when stopRequested() becomes true.
    virtual void runLoop() = 0;

    // Stops the loop and waits for the thread to end. Every subclass calls it
    // in its destructor: the loop uses the subclass's members.
    void finish();

    bool stopRequested() const { return m_stop; }
    // Waits up to ms; returns at once when a stop is asked for.
    void pause(int ms);

private:
    void requestStop();

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_checking{false};
    std::atomic<int> m_stepMs{DefaultStepMs};

    std::mutex m_pauseMutex;
    std::condition_variable m_wake;
};
