#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include "WTalkWebDownloadManager.h"


// The answer of one request of a web view of the messaging plug-in, made in
// the process: a resource's bytes, or an empty body. Never an error, never
// the network.
class WTalkRendererNetworkReply : public QNetworkReply
{
    Q_OBJECT

public:
    // Answers at once with body.
    WTalkRendererNetworkReply(const QNetworkRequest &request, const QByteArray &body, QObject *parent);
    // Answers with what the download thread gives for the request.
    WTalkRendererNetworkReply(const QNetworkRequest &request, WTalkWebDownloadManager *downloads, QObject *parent);

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

public slots:
    void slotSetupFinished(const QString &identifier, const QByteArray &bytes);

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    void setUp(const QNetworkRequest &request);

    QString m_identifier;
    QBuffer m_body;
    QPointer<WTalkWebDownloadManager> m_downloads;
    bool m_delivered = false;
};
