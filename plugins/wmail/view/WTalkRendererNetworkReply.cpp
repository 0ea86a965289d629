#include "WTalkRendererNetworkReply.h"

#include "WTalkWebDownloadManager.h"

#include <QTimer>

WTalkRendererNetworkReply::WTalkRendererNetworkReply(const QNetworkRequest &request, const QByteArray &body,
                                                     QObject *parent)
    : QNetworkReply(parent)
{
    setUp(request);
    slotSetupFinished(m_identifier, body);
}

WTalkRendererNetworkReply::WTalkRendererNetworkReply(const QNetworkRequest &request,
                                                     WTalkWebDownloadManager *downloads, QObject *parent)
    : QNetworkReply(parent), m_downloads(downloads)
{
    setUp(request);
    connect(downloads, &WTalkWebDownloadManager::signalSetupFinished, this,
            &WTalkRendererNetworkReply::slotSetupFinished);
    downloads->enqueue(m_identifier, request.url().path());
}

void WTalkRendererNetworkReply::setUp(const QNetworkRequest &request)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    m_identifier = request.url().toString();
}

void WTalkRendererNetworkReply::slotSetupFinished(const QString &identifier, const QByteArray &bytes)
{
    // Replies of one URL each take one answer: a second would finish twice.
    if (identifier != m_identifier || m_delivered)
        return;
    m_delivered = true;
    if (m_downloads)
        disconnect(m_downloads, nullptr, this, nullptr);
    m_body.setData(bytes);
    m_body.open(QIODevice::ReadOnly);
    open(QIODevice::ReadOnly);
    setHeader(QNetworkRequest::ContentLengthHeader, QByteArray::number(bytes.size()));
    QTimer::singleShot(0, this, &QNetworkReply::metaDataChanged);
    QTimer::singleShot(0, this, &QNetworkReply::readyRead);
    QTimer::singleShot(0, this, [this] {
        setFinished(true);
        emit finished();
    });
}

void WTalkRendererNetworkReply::abort()
{
    close();
}

void WTalkRendererNetworkReply::close()
{
    m_body.close();
    QNetworkReply::close();
}

qint64 WTalkRendererNetworkReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + (m_body.isOpen() ? m_body.bytesAvailable() : 0);
}

qint64 WTalkRendererNetworkReply::readData(char *data, qint64 maxSize)
{
    if (!m_body.isOpen())
        return -1;
    const qint64 read = m_body.read(data, maxSize);
    return read == 0 && m_body.atEnd() ? -1 : read;
}
