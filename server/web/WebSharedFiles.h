#pragma once

#include "OwnerRequestGate.h"
#include "PasswordGuessThrottle.h"
#include "WebReply.h"

#include <QString>

#include <memory>

class WebLocalBridge;
struct WebConnection;

// The pages of files that users share on the web, "/webfiles/<user>/<id>.html":
// asks the owner's client whether the file is there, asks for its password
// when it has one, and answers the file's bytes as an attachment, read from
// the client while the browser downloads. Every password guess passes here
// once, before the owner's client checks it: guessing is throttled here.
class WebSharedFiles
{
public:
    // At most maxRequestsPerOwner requests (and the transfers they start) wait
    // for one owner's client at a time, maxRequestsPerOwnerFromOneAddress of
    // them from one address.
    WebSharedFiles(WebLocalBridge *bridge, int clientTimeoutMs, int maxRequestsPerOwner,
                   int maxRequestsPerOwnerFromOneAddress);

    // A place among the requests waiting for user's client, taken before the
    // request waits for a thread; null when the owner's places, or the
    // address's share of them, are taken.
    OwnerRequestGate::Pass enter(const QString &user, const QString &address) const;
    // The answer to a request that found no place.
    static WebHttp::StringResponse ownerBusy();

    // `user` and `page` are the decoded path segments after "/webfiles/";
    // connection: the one the request came on; pass: the request's place
    // from enter(), held until its transfer ends. May block for several
    // requests to the owner's client.
    WebReply handle(const WebHttp::Request &request, const QString &user, const QString &page,
                    WebConnection &connection, const OwnerRequestGate::Pass &pass) const;

    static bool isUserName(const QString &user);
    static bool isFileId(const QString &id);
    // A Content-Disposition value that offers `fileName` for saving, safe to
    // put in a header whatever the name holds.
    static QByteArray attachmentDisposition(const QString &fileName);

private:
    WebLocalBridge *m_bridge;
    int m_clientTimeoutMs;
    std::unique_ptr<OwnerRequestGate> m_gate;
    std::unique_ptr<PasswordGuessThrottle> m_passwordGuesses;
};
