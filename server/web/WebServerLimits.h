#pragma once

#include <QtGlobal>

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
    // A shared file's download holds a place of its owner's: a reader that
    // takes more than this window for each minDownloadBytesPerSecond x window
    // bytes of it is cut off. 2 KiB/s is 16 kbit/s, below what any mobile
    // network in use still carries; measured over half a minute, a stall of a
    // few seconds (a changing cell, a browser's save dialog) does not count.
    qint64 minDownloadBytesPerSecond = 2048;
    std::chrono::milliseconds downloadRateWindow{30000};
    // How long each request to a file owner's client may take.
    int clientTimeoutMs = 10000;
    // Threads that run the sockets, and threads that build pages and files.
    int ioThreads = 2;
    int workerThreads = 8;
    // Requests a file owner's client answers wait on threads of their own, so
    // they never hold the workers that answer pages; one owner may hold only
    // a few of them at once, the rest are answered "busy" at once.
    int clientThreads = 32;
    int maxClientRequestsPerOwner = 8;
    // A browser downloads a file on one connection: two places let an
    // address fetch two of an owner's files at once and leave the rest to others.
    int maxClientRequestsPerOwnerFromOneAddress = 2;

    // Crash reports (a client's is a few kilobytes): the size of one decoded
    // report, the total the reports folder keeps (the oldest go first), and
    // how many reports one address may send a minute.
    qint64 maxCrashReportBytes = 1024 * 1024;
    qint64 maxCrashReportsFolderBytes = 256 * 1024 * 1024;
    int crashReportsPerAddressPerMinute = 10;

    // The bytes of a download written with one deadline.
    std::size_t downloadSliceBytes() const;

    // The defaults, with the time limits that tests shorten through
    // WIVORA_WEB_READ_TIME_LIMIT_MS and WIVORA_WEB_DOWNLOAD_RATE_WINDOW_MS.
    static WebServerLimits fromEnvironment();
};
