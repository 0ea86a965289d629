#include "WebFileLink.h"

#include <ServiceSettings.h>

#include <QUrl>

QString WebFileLink::of(const QString &owner, const QString &fileId)
{
    // Both parts are one path segment each: nothing in them may start another.
    return ServiceSettings::publicSite() + QStringLiteral("/webfiles/")
        + QString::fromLatin1(QUrl::toPercentEncoding(owner)) + QLatin1Char('/')
        + QString::fromLatin1(QUrl::toPercentEncoding(fileId, "{}")) + QStringLiteral(".html");
}
