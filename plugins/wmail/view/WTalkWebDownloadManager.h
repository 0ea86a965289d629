#pragma once

#include <QByteArray>
#include <QMutex>
#include <QQueue>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// The conversation view's download thread: answers the page's requests of
// "wivora:" URLs that no private scheme serves, one at a time and off the
// GUI thread. It keeps no content, so only a resource URL gets bytes.
class WTalkWebDownloadManager : public QThread
{
    Q_OBJECT

public:
    explicit WTalkWebDownloadManager(QObject *parent = nullptr);
    ~WTalkWebDownloadManager() override;

    // Queues a request (any thread); the answer comes as signalSetupFinished.
    void enqueue(const QString &identifier, const QString &path);
    // Ends the loop and waits for it; returns at once when never started.
    void stop();

signals:
    void signalSetupFinished(const QString &identifier, const QByteArray &bytes);

public slots:
    void setuprequest(const QString &identifier, const QString &path);

protected:
    void run() override;

private:
    struct Request
    {
        QString identifier;
        QString path;
    };

    std::atomic<bool> m_running{true};
    QMutex m_mutex;
    QWaitCondition m_queued;
    QQueue<Request> m_queue;
};
