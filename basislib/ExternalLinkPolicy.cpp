#include "ExternalLinkPolicy.h"

QStringList ExternalLinkPolicy::webSchemes()
{
    return {QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("mailto")};
}

QStringList ExternalLinkPolicy::messagingSchemes()
{
    return webSchemes() << QStringLiteral("ftp");
}

bool ExternalLinkPolicy::opensExternally(const QUrl &url, const QStringList &schemes)
{
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    if (!schemes.contains(scheme))
        return false;
    if (scheme == QLatin1String("mailto"))
        return !url.path().isEmpty();
    return !url.host().isEmpty();
}
