#pragma once

#include <QDesktopServices>
#include <QUrl>
#include <QtDebug>

// Links in pages and texts that came over the network go to the desktop only
// when they are web or mail addresses: a page must not make the program open
// local files, shares or other registered handlers. Shared by the program and
// the plug-ins (header-only), so every web view follows the same rule.
class ExternalLinks
{
public:
    static bool isAllowed(const QUrl &url)
    {
        if (!url.isValid())
            return false;
        const QString scheme = url.scheme().toLower();
        if (scheme == QLatin1String("mailto"))
            return !url.path().isEmpty();
        return (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty();
    }

    // Hands an allowed url to the desktop's handler; anything else is dropped.
    static bool open(const QUrl &url)
    {
        if (!isAllowed(url)) {
            qDebug() << "link not opened:" << url.toString(QUrl::RemoveUserInfo);
            return false;
        }
        return QDesktopServices::openUrl(url);
    }
};
