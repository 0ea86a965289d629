#include "WTalkRendererAccessManager.h"

#include "WMailAvatar.h"
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
    if (url.scheme() == QLatin1String("avatarwivora"))
        return new WTalkRendererNetworkReply(request, avatar(url), this);
    // Content ids are not kept: empty. Other "wivora:" URLs go
    // through the download thread where there is one; everything else,
    // whatever its scheme, is answered empty here and never leaves.
    if (m_downloads && url.scheme() != QLatin1String("cidwivora")
        && url.toString().contains(QLatin1String("wivora:")))
        return new WTalkRendererNetworkReply(request, m_downloads.data(), this);
    return new WTalkRendererNetworkReply(request, QByteArray(), this);
}

// "avatarwivora://USER/SIZE": the contact's picture fitted into SIZE (all of it without one).
QByteArray WTalkRendererAccessManager::avatar(const QUrl &url) const
{
    if (!m_avatars || url.host().isEmpty())
        return QByteArray();
    const QString sizeText = url.path().section(QLatin1Char('/'), 1, 1);
    bool ok = true;
    const int size = sizeText.isEmpty() ? -1 : sizeText.toInt(&ok);
    if (!ok)
        return QByteArray();
    const QByteArray picture = m_avatars(url.host());
    return picture.isEmpty() ? QByteArray() : WMailAvatar::compose(picture, size);
}
