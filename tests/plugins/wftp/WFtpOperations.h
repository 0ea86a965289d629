#pragma once

#include "ClientProcess.h"

#include <KvrConfig.h>

#include <QString>

// One operation of the file-sharing plug-in in a client the test started,
// through its probe. A call that could not be made at all warns and gives an
// empty record, which every caller's checks then fail on.
inline KvrConfig invokeWFtp(ClientProcess &client, const QString &operation, const KvrConfig &argument = KvrConfig(),
                            int timeoutMs = 60000)
{
    bool invoked = false;
    const KvrConfig result =
        client.probe().invoke(QStringLiteral("WFtp"), operation, argument, &invoked, timeoutMs);
    if (!invoked)
        qWarning("%s could not be invoked", qPrintable(operation));
    return result;
}
