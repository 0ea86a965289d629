#include "WTalkRendererAccessManager.h"

#include "WTalkRendererNetworkReply.h"
#include "WTalkWebDownloadManager.h"

#include <QFile>
#include <QNetworkRequest>
#include <QUrl>

WTalkRendererAccessManager::WTalkRendererAccessManager(QObject *parent) : QNetworkAccessManager(parent)
{
}

QString WTalkRendererAccessManager::resourcePath(const QUrl &url)
{
    if (url.scheme() != QLatin1String("resourceswivora") || !url.host().isEmpty())
        return QString();
    return url.path();
}

QNetworkReply *WTalkRendererAccessManager::createRequest(Operation, const QNetworkRequest &request, QIODevice *)
{
    const QUrl url = request.url();
    const QString path = resourcePath(url);
    if (!path.isEmpty()) {
        QFile resource(QLatin1Char(':') + path);
        const QByteArray body = resource.open(QIODevice::ReadOnly) ? resource.readAll() : QByteArray();
        return new WTalkRendererNetworkReply(request, body, this);
    }
    // Avatars and content ids are not kept: empty. Other "wivora:" URLs go
    // through the download thread where there is one; everything else,
    // whatever its scheme, is answered empty here and never leaves.
    if (m_downloads && url.scheme() != QLatin1String("avatarwivora") && url.scheme() != QLatin1String("cidwivora")
        && url.toString().contains(QLatin1String("wivora:")))
        return new WTalkRendererNetworkReply(request, m_downloads.data(), this);
    return new WTalkRendererNetworkReply(request, QByteArray(), this);
}
