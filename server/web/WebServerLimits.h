#pragma once

#include <chrono>
#include <cstddef>

// What one HTTP client may cost the web server. The defaults suit the
// stand-in service; tests shorten the time-outs.
struct WebServerLimits
{
    // A request body over this size is answered 413 and the connection closed.
    std::size_t maxBodyBytes = 8 * 1024 * 1024;
    // Request line plus header fields; over it the answer is 431.
    std::size_t maxHeaderBytes = 16 * 1024;
    // Time for a whole request (header and body) to arrive, and how long an
    // idle keep-alive connection stays open.
    std::chrono::milliseconds readTimeout{30000};
    // Time for one write to the client to complete.
    std::chrono::milliseconds writeTimeout{60000};
    // How long each request to a file owner's client may take.
    int clientTimeoutMs = 10000;
    // Threads that run the sockets, and threads that build replies (building a
    // reply may wait for a file owner's client).
    int ioThreads = 2;
    int workerThreads = 8;
};
