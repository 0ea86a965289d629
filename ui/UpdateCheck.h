#pragma once

#include <QFuture>
#include <QObject>

#include <memory>

class UpdateTask;

// While a user is logged in: one task on the global pool that asks the server
// every round interval for a newer client installer and newer versions of the
// loaded plug-ins, and stages what is offered in the "update" folder for the
// next start. It asks the user nothing; downloads report their progress.
class UpdateCheck : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultRoundIntervalMs = 25 * 60 * 1000;

    explicit UpdateCheck(int roundIntervalMs = DefaultRoundIntervalMs, QObject *parent = nullptr);
    // Stops the task without waiting for it.
    ~UpdateCheck() override;

    // Starts a task (its first round at once) unless one runs unstopped.
    void start();
    // Tells the task to end and cancels a running download, and returns at
    // once: a request under way (up to its timeout) is left to end on the
    // pool, and the task touches nothing of this object after it.
    void stop();
    // True until the last task started has ended, also after stop().
    bool isRunning() const { return m_task.isRunning(); }

signals:
    // Around each download; the bar is removed on every way out.
    void signalAddProgressBar();
    void signalRemoveProgressbar();
    // total is -1 or 0 while the size is not known.
    void signalProgress(qint64 received, qint64 total);

private:
    const int m_roundIntervalMs;
    // Shared with the pool thread that runs it; null once stopped.
    std::shared_ptr<UpdateTask> m_running;
    QFuture<void> m_task;
};
