#pragma once

#include "basislib_global.h"

#include <QStringList>
#include <QUrl>

// Which clicked links the program hands to the desktop's handlers. Pages show
// content others wrote: a file:, javascript: or custom-handler link there
// could read local files or start local programs, so only web and mail
// addresses leave the program.
class BASISLIB_EXPORT ExternalLinkPolicy
{
public:
    ExternalLinkPolicy() = delete;

    // "http", "https" and "mailto": what every page of the program opens.
    static QStringList webSchemes();
    // The web schemes and "ftp": what the messaging view opens.
    static QStringList messagingSchemes();

    // True when url is valid, names a host (or, for mailto, an address) and
    // its scheme (compared without regard to case) is one of schemes.
    static bool opensExternally(const QUrl &url, const QStringList &schemes = webSchemes());
};
