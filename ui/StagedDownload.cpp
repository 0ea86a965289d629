#include "StagedDownload.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QTimer>

namespace {
// How often a running fetch looks at the cancel flag.
const int CancelPollMs = 20;
} // namespace

StagedDownload::StagedDownload(QObject *parent)
    : QObject(parent)
{
}

QString StagedDownload::fileNameOf(const QUrl &url)
{
    const QString name = url.fileName(QUrl::FullyDecoded);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QString();
    return name;
}

StagedDownload::Result StagedDownload::fetch(const QUrl &url, const QString &targetPath, int stallTimeoutMs)
{
    if (m_cancelled)
        return Result::Cancelled;
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return Result::Failed;
    QSaveFile target(targetPath);
    if (!target.open(QIODevice::WriteOnly))
        return Result::Failed;

    QNetworkAccessManager network;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply *reply = network.get(request);
    QEventLoop loop;
    QTimer stall;
    stall.setSingleShot(true);
    QTimer cancelPoll;
    bool failed = false;
    qint64 written = 0;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        stall.start(stallTimeoutMs);
        const QByteArray chunk = reply->readAll();
        written += chunk.size();
        if (written > MaxBytes || target.write(chunk) != chunk.size()) {
            failed = true;
            loop.quit();
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, this, &StagedDownload::progress);
    connect(&stall, &QTimer::timeout, &loop, [&] {
        failed = true;
        loop.quit();
    });
    connect(&cancelPoll, &QTimer::timeout, &loop, [&] {
        if (m_cancelled)
            loop.quit();
    });
    stall.start(stallTimeoutMs);
    cancelPoll.start(CancelPollMs);
    if (!reply->isFinished())
        loop.exec();
    reply->disconnect();
    const bool complete = reply->isFinished() && reply->error() == QNetworkReply::NoError
        && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200;
    if (complete && !failed) {
        const QByteArray rest = reply->readAll();
        written += rest.size();
        failed = written > MaxBytes || target.write(rest) != rest.size();
    }
    reply->abort();
    delete reply;
    if (m_cancelled) {
        target.cancelWriting();
        return Result::Cancelled;
    }
    if (!complete || failed || written == 0) {
        target.cancelWriting();
        return Result::Failed;
    }
    return target.commit() ? Result::Staged : Result::Failed;
}

void StagedDownload::cancel()
{
    m_cancelled = true;
}
