#pragma once

#include <QDesktopServices>
#include <QStringList>
#include <QUrl>
#include <QtDebug>

// Links in pages and texts that came over the network go to the desktop only
// when they are web or mail addresses: a page must not make the program open
// local files, shares or other registered handlers. Shared by the program and
// the plug-ins (header-only), so every web view follows the same rule.
class ExternalLinks
{
public:
    // What the messaging view opens besides web and mail addresses.
    static QStringList messagingSchemes() { return {QStringLiteral("ftp")}; }

    // moreSchemes (lower case) are allowed too when the url names a host.
    static bool isAllowed(const QUrl &url, const QStringList &moreSchemes = QStringList())
    {
        if (!url.isValid())
            return false;
        const QString scheme = url.scheme().toLower();
        if (scheme == QLatin1String("mailto"))
            return !url.path().isEmpty();
        return (scheme == QLatin1String("http") || scheme == QLatin1String("https") || moreSchemes.contains(scheme))
            && !url.host().isEmpty();
    }

    // Hands an allowed url to the desktop's handler; anything else is dropped.
    static bool open(const QUrl &url, const QStringList &moreSchemes = QStringList())
    {
        if (!isAllowed(url, moreSchemes)) {
            qDebug() << "link not opened:" << url.toString(QUrl::RemoveUserInfo);
            return false;
        }
        return QDesktopServices::openUrl(url);
    }
};
