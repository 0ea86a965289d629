#pragma once

#include "basislib_global.h"

#include <QString>

// Network helpers of the link layer.
class BASISLIB_EXPORT NetworkUtilities
{
public:
    static constexpr int ProbeTimeoutMs = 1500;
    static constexpr int MaxProbes = 32;

    NetworkUtilities() = delete;

    // A new GUID as braced text ("{xxxxxxxx-xxxx-...}").
    static QString GetGuid();

    // The first address of the ","-separated list (in list order) that
    // accepts a TCP connection on `port`; "" when none does. Empty entries
    // are skipped, and only the first MaxProbes addresses are tried. All are
    // probed at once, for at most ProbeTimeoutMs in all. Blocks; needs no
    // event loop, so it runs on any thread.
    static QString getTcpActiveIp(const QString &addresses, const QString &port);

    // This machine's IPv4 addresses on interfaces that are up (loopback
    // excluded), followed by "127.0.0.1", joined by ",".
    static QString getLocalAddresses();

    // Lets the kernel queue as many new connections on a listening socket as
    // the system allows, instead of Qt's 50: while a flood of connects fills
    // a short queue, the kernel drops everybody's, real users' included.
    static void widenAcceptQueue(qintptr listeningSocket);
};
