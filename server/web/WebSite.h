#pragma once

#include "WebReply.h"
#include "WebSharedFiles.h"

#include <QString>

class WebLocalBridge;

// Every page and file the service's web sites answer, chosen by the request's
// path alone: no path is ever mapped onto the disk. handle() is safe to call
// from several threads at once and may block (disk, and the clients of users
// who share files on the web).
class WebSite
{
public:
    WebSite(const QString &dataFolder, WebLocalBridge *bridge, int clientTimeoutMs);

    WebReply handle(const WebHttp::Request &request) const;

private:
    // Where uploaded crash dumps are kept, and where downloadable files are
    // served from.
    QString dumpsFolder() const;
    QString downloadsFolder() const;

    WebReply route(const WebHttp::Request &request) const;
    WebReply storeCrashDump(const WebHttp::Request &request) const;
    WebReply publicKey() const;
    WebReply download(const QString &fileName) const;

    QString m_dataFolder;
    WebSharedFiles m_sharedFiles;
};
