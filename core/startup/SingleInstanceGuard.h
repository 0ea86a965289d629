#pragma once

#include <QByteArray>
#include <QString>

// The starting side of the single-instance check: asks a running copy of the
// program, over the local socket the copy's WakeUpServer listens on, to come
// to the front. Blocks the calling thread for at most about 700 ms.
//
// The local socket lives in the temporary folder, so clients started with
// different TMPDIR folders are different instances.
class SingleInstanceGuard
{
public:
    static const QString ServerName;      // "wivora"
    static const QByteArray WakeUpRequest; // "wivorawakeup"
    static const QByteArray RunningAnswer; // "isrunning"

    static constexpr int ConnectTimeoutMs = 100;
    static constexpr int WriteTimeoutMs = 100;
    static constexpr int AnswerTimeoutMs = 500;

    SingleInstanceGuard() = delete;

    // True when a running copy answered that it runs: this process should
    // then end. False in every other case (no copy listens, the request could
    // not be written, no answer, another answer).
    //
    // The answer is judged once the whole answer's length is there or the
    // time is up, so an answer that arrives in pieces is still recognised.
    static bool wakeRunningCopy(const QString &serverName = ServerName);
};
