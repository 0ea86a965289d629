#pragma once

#include "WebServerLimits.h"

#include <QString>
#include <QtGlobal>

#include <memory>

class WebLocalBridge;

// The service's web sites over HTTP/1.1: the public and account pages, the
// crash-report upload, the server's public key, downloads, and the pages of
// files users share on the web. Runs on threads of its own between start()
// and stop(); the calling thread is never used for requests.
class WebServer
{
public:
    // `dataFolder` is the server's data folder (crash dumps are stored in
    // "dumps", downloads are served from "downloads", the public key is read
    // from "server_public.pem"). `bridge` reaches the clients of users who
    // share files; it must outlive the running server and may be null (no
    // shared file is then available).
    WebServer(const QString &dataFolder, WebLocalBridge *bridge, const WebServerLimits &limits = WebServerLimits());
    ~WebServer();

    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Listens on host (an address or a host name) and port; port 0 picks a
    // free one (see port()). Returns false when it cannot listen.
    bool start(const QString &host, quint16 port = 8080);
    // Closes the listening socket and every connection and waits for the
    // threads to end; a request waiting for a client ends within its time-out.
    void stop();

    bool isRunning() const;
    quint16 port() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
