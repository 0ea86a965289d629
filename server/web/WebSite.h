#pragma once

#include "CrashReportStore.h"
#include "WebReply.h"
#include "WebServerLimits.h"
#include "WebSharedFiles.h"

#include <QString>

#include <memory>

class WebLocalBridge;
struct WebConnection;

// Every page and file the service's web sites answer, chosen by the request's
// path alone: no path is ever mapped onto the disk. handle() is safe to call
// from several threads at once and may block (disk, and the clients of users
// who share files on the web).
class WebSite
{
public:
    WebSite(const QString &dataFolder, WebLocalBridge *bridge, const WebServerLimits &limits);

    // connection: the one the request came on, for the limits per address
    // and per connection; ownerPass: for a request that waits for a file
    // owner's client, its place from admitClientRequest().
    WebReply handle(const WebHttp::Request &request, WebConnection &connection,
                    const OwnerRequestGate::Pass &ownerPass) const;

    // Whether answering may wait for a file owner's client.
    static bool waitsForClient(const WebHttp::Request &request);
    // Such a request's place among those waiting for the owner's client, taken
    // without blocking; null when the owner's places, or clientAddress's share
    // of them, are taken: answer ownerBusy() then.
    OwnerRequestGate::Pass admitClientRequest(const WebHttp::Request &request, const QString &clientAddress) const;
    WebReply ownerBusy(const WebHttp::Request &request) const;

private:
    // Where uploaded crash dumps are kept, and where downloadable files are
    // served from.
    QString dumpsFolder() const;
    QString downloadsFolder() const;

    WebReply route(const WebHttp::Request &request, WebConnection &connection,
                   const OwnerRequestGate::Pass &ownerPass) const;
    void log(const WebHttp::Request &request, const WebReply &reply) const;
    WebReply storeCrashDump(const WebHttp::Request &request, const QString &clientAddress) const;
    WebReply publicKey() const;
    WebReply download(const QString &fileName) const;

    QString m_dataFolder;
    WebSharedFiles m_sharedFiles;
    std::unique_ptr<CrashReportStore> m_crashReports;
};
