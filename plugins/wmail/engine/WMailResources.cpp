#include "WMailResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE may not stand inside a namespace or class.
static void registerResources()
{
    Q_INIT_RESOURCE(wmail);
    Q_INIT_RESOURCE(wmailpage);
    Q_INIT_RESOURCE(wmailjquery);
}

void WMailResources::initialise()
{
    static const bool registered = (registerResources(), true);
    Q_UNUSED(registered)
}
