#include "WTalkWebDownloadManager.h"

#include <QFile>
#include <QMutexLocker>

WTalkWebDownloadManager::WTalkWebDownloadManager(QObject *parent) : QThread(parent)
{
}

WTalkWebDownloadManager::~WTalkWebDownloadManager()
{
    stop();
}

void WTalkWebDownloadManager::enqueue(const QString &identifier, const QString &path)
{
    QMutexLocker lock(&m_mutex);
    m_queue.enqueue({identifier, path});
    m_queued.wakeOne();
}

void WTalkWebDownloadManager::stop()
{
    {
        QMutexLocker lock(&m_mutex);
        m_running = false;
        m_queued.wakeAll();
    }
    wait();
}

void WTalkWebDownloadManager::setuprequest(const QString &identifier, const QString &path)
{
    QByteArray bytes;
    if (identifier.startsWith(QLatin1String("resourceswivora:"))) {
        QFile resource(QLatin1Char(':') + path);
        if (resource.open(QIODevice::ReadOnly))
            bytes = resource.readAll();
    }
    emit signalSetupFinished(identifier, bytes);
}

void WTalkWebDownloadManager::run()
{
    for (;;) {
        Request request;
        {
            QMutexLocker lock(&m_mutex);
            while (m_running && m_queue.isEmpty())
                m_queued.wait(&m_mutex);
            if (!m_running)
                return;
            request = m_queue.dequeue();
        }
        setuprequest(request.identifier, request.path);
    }
}
