#pragma once

#include <QMutex>
#include <QObject>

#include <atomic>

class StagedDownload;

// One run of the update check on a pool thread: every round interval it asks
// the server for a newer client installer and newer versions of the loaded
// plug-ins, and stages what is offered in the "update" folder. It holds all
// it touches, so whoever started it may stop it and go at once while it
// still sits in a request: it ends at its next look at the stop flag.
class UpdateTask : public QObject
{
    Q_OBJECT

public:
    explicit UpdateTask(int roundIntervalMs);

    // On a pool thread: rounds until stopped, the first at once.
    void run();
    // Any thread; returns at once and cancels a running download.
    void stop();

signals:
    // Emitted on the pool thread, around each download; the bar is removed
    // on every way out.
    void signalAddProgressBar();
    void signalRemoveProgressbar();
    // total is -1 or 0 while the size is not known.
    void signalProgress(qint64 received, qint64 total);

private:
    void round();
    void stage(const QString &address, const QString &target);

    const int m_roundIntervalMs;
    std::atomic<bool> m_stop{false};
    // The download under way, for stop(); guarded by m_downloadMutex.
    QMutex m_downloadMutex;
    StagedDownload *m_download = nullptr;
};
