#include "BlockingHttpGet.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopedPointer>
#include <QTimer>

QByteArray BlockingHttpGet::fetch(const QUrl &url, int timeoutMs, qint64 maxBytes)
{
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return {};

    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QScopedPointer<QNetworkReply> reply(manager.get(request));

    bool tooLarge = false;
    QNetworkReply *raw = reply.data();
    QObject::connect(raw, &QNetworkReply::downloadProgress, raw,
                     [raw, maxBytes, &tooLarge](qint64 received, qint64 total) {
                         if (received > maxBytes || total > maxBytes) {
                             tooLarge = true;
                             raw->abort();
                         }
                     });
    QEventLoop loop;
    QObject::connect(raw, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, raw, &QNetworkReply::abort);
    deadline.start(timeoutMs);
    if (!raw->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (tooLarge || raw->error() != QNetworkReply::NoError
        || raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        return {};
    return raw->readAll();
}
