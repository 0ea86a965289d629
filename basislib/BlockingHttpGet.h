#pragma once

#include <QByteArray>
#include <QUrl>

// A small HTTP GET that blocks the calling thread, on any thread: the
// transfer runs in a local event loop (so a GUI thread keeps painting), and
// ends after timeoutMs at the latest.
class BlockingHttpGet
{
public:
    BlockingHttpGet() = delete;

    // The body of a 200 answer; empty on any failure, on time-out and when
    // the body would exceed maxBytes.
    static QByteArray fetch(const QUrl &url, int timeoutMs, qint64 maxBytes);
};
