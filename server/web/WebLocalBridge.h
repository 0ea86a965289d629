#pragma once

#include "KvrConfig.h"

#include <QString>

// The web server's way to reach a user's running client: the pages for files
// a user shares on the web are served by asking that user's client for the
// file's state and bytes.
//
// The main server implements this in its session registry. askUser() is
// called from the web server's own threads (never the main server's thread),
// possibly from several at once, and blocks the caller until the client
// answers or the time-out passes.
class WebLocalBridge
{
public:
    virtual ~WebLocalBridge() = default;

    // Sends `request` (a command record with an "ID") to the client of `user`
    // and returns that client's reply carrying the same "ID". Returns an empty
    // record when the user has no client online or the reply did not arrive
    // within `timeoutMs` milliseconds.
    virtual KvrConfig askUser(const QString &user, const KvrConfig &request, int timeoutMs) = 0;
};
