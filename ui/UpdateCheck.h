#pragma once

#include <QFuture>
#include <QMutex>
#include <QObject>

#include <atomic>

class StagedDownload;

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
    ~UpdateCheck() override;

    // Starts the task (its first round at once) unless it still runs.
    void start();
    // Ends the task at once, a running download too, and returns once it ended.
    void stop();
    bool isRunning() const { return m_task.isRunning(); }

signals:
    // Around each download; the bar is removed on every way out.
    void signalAddProgressBar();
    void signalRemoveProgressbar();
    // total is -1 or 0 while the size is not known.
    void signalProgress(qint64 received, qint64 total);

private:
    void run();
    void round();
    void stage(const QString &address, const QString &target);

    const int m_roundIntervalMs;
    std::atomic<bool> m_stop{false};
    QFuture<void> m_task;
    // The download under way, for stop(); guarded by m_downloadMutex.
    QMutex m_downloadMutex;
    StagedDownload *m_download = nullptr;
};
