#pragma once

#include "KvrConfig.h"
#include "ServerProtocol.h"
#include "basislib_global.h"

#include <QList>
#include <QSharedPointer>
#include <QString>

class WDataStructure;

// Questions to the main server that need no login. Each call goes over the
// registered main link when one is up and otherwise over a private
// connection of its own, and blocks at most TimeoutMs. Failures give the
// empty result of the call. Safe from any thread.
class BASISLIB_EXPORT MainServerCommands
{
public:
    MainServerCommands() = delete;

    static constexpr int TimeoutMs = ServerProtocol::RequestTimeoutMs;

    // names: "a,b," (every name followed by ",") or one bare name. The answer
    // holds "user::<name>" → status text for every known name, "0" when the
    // user is offline; unknown names are absent.
    static KvrConfig getUserStatus(const QString &names);
    // The user's vCard tree; null when the user is unknown or has none.
    static QSharedPointer<WDataStructure> getUserVCard(const QString &user);
    // Records with "username", "fullName", "city" and "country".
    static QList<KvrConfig> findUser(const QString &text);
    // The plug-in catalogue: one child per plug-in with "Name", "Description"
    // and "Path". Never null; empty when nothing is offered or on failure.
    static QSharedPointer<WDataStructure> getWivoraPlugins(const QString &platform);
    // The download address of something newer, or "" when there is none.
    static QString checkWivoraUpdate(const QString &platform, int build);
    static QString checkPluginUpdate(const QString &pluginName, const QString &platform,
                                     int version);
    // The server's clock minus the local clock, in whole seconds; 0 when the
    // server cannot be asked.
    static int getTimeDiffrence();
};
