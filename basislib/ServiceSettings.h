#pragma once

#include "basislib_global.h"

#include <QString>

// Where the service lives, from the machine settings. With nothing set, the
// program and its plug-ins use a service on this machine.
class BASISLIB_EXPORT ServiceSettings
{
public:
    ServiceSettings() = delete;

    // The service's domain ("service/domain"); "127.0.0.1" when unset.
    static QString domain();
    // The main server's port ("service/port"); "2004" when unset.
    static QString port();
    // The base address of the account web site ("service/accountsite");
    // "http://127.0.0.1:8080" when unset. Never ends with "/".
    static QString accountSite();
    // The base address of the public web site ("service/publicsite");
    // "http://127.0.0.1:8080" when unset. Never ends with "/".
    static QString publicSite();
};
