#pragma once

// Stands in for the desktop's handlers of the given schemes while it lives,
// so a test sees which addresses the program handed to the desktop.

#include <QDesktopServices>
#include <QObject>
#include <QStringList>
#include <QUrl>

class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    explicit UrlCatcher(const QStringList &schemes = {QStringLiteral("http"), QStringLiteral("https"),
                                                      QStringLiteral("mailto"), QStringLiteral("file"),
                                                      QStringLiteral("smb"), QStringLiteral("ftp"),
                                                      QStringLiteral("javascript"), QStringLiteral("data"),
                                                      QStringLiteral("wivora")})
        : m_schemes(schemes)
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::setUrlHandler(scheme, this, "open");
    }
    ~UrlCatcher() override
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    QList<QUrl> opened;

public slots:
    void open(const QUrl &url) { opened << url; }

private:
    const QStringList m_schemes;
};
