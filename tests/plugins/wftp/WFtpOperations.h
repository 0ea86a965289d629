#pragma once

#include "ClientProcess.h"

#include <KvrConfig.h>

#include <QString>

#include <initializer_list>

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

// Installs the file-sharing plug-in in each client and starts it; false, with
// the client's diagnostics as a warning, at the first that did not come up.
inline bool startWithWFtp(std::initializer_list<ClientProcess *> clients)
{
    for (ClientProcess *client : clients) {
        if (!client || !client->installPlugin(QStringLiteral(WIVORA_WFTP_PLUGIN)) || !client->start()) {
            qWarning("a client did not start with the file-sharing plug-in: %s",
                     client ? qPrintable(client->diagnostics()) : "no client");
            return false;
        }
    }
    return true;
}

// The disc that owner's sharing of the folder at path with users made; empty
// when the share failed.
inline QString shareFolder(ClientProcess &owner, const QString &path, const QString &users)
{
    KvrConfig share;
    share.sv(QStringLiteral("path"), path);
    share.sv(QStringLiteral("users"), users);
    return invokeWFtp(owner, QStringLiteral("shareFolder"), share).gv(QStringLiteral("disc"));
}
