#pragma once

#include <QByteArray>

// The body of a response that is produced piece by piece (a file fetched from
// its owner's client). Both calls may block; the web server makes them on its
// worker threads, one at a time, never on a socket thread.
class WebBodySource
{
public:
    virtual ~WebBodySource() = default;

    // Gives the next piece of the body. Returns false when the body cannot be
    // completed (the response is then cut short); sets *last on the final piece.
    virtual bool next(QByteArray *piece, bool *last) = 0;

    // Releases what the source holds; called once, after the last piece or
    // after the transfer was given up.
    virtual void finish() = 0;
};
