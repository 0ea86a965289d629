#pragma once

#include "KvrConfig.h"

#include <QSharedPointer>
#include <QString>

class TcpConnection;

// One request to the main server and its reply. Every request gets a fresh
// "ID"; a reply counts only when it carries that "ID" and the result flag.
// All calls block the calling thread at most for the given time and work on
// any thread, with or without an event loop.
class ServerRequest
{
public:
    ServerRequest() = delete;

    // A request record with a fresh "ID" and the command name.
    static KvrConfig make(const char *command);

    // A refusal's reason is shown to people: longer ones are cut.
    static constexpr int MaxRefusalLength = 200;

    // The reply on that link; an empty record when the link is missing or not
    // connected, on time-out, or when the server refused (result flag false).
    // refusal, when given, receives the server's reason for people when it
    // refused with one, and is cleared otherwise. answered, when given, tells
    // whether any reply came: a refusal is an answer, a time-out is not.
    static KvrConfig ask(const QSharedPointer<TcpConnection> &link, const KvrConfig &request,
                         int timeoutMs, QString *refusal = nullptr, bool *answered = nullptr);

    // A query that needs no login: on the registered main link when one is
    // up, otherwise on a private connection opened for this one request. The
    // whole exchange, connecting included, ends within timeoutMs.
    static KvrConfig askService(const KvrConfig &request, int timeoutMs);
};
