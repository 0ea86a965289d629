#pragma once

#include <TcpConnection.h>
#include <WFtpEngine.h>

#include <QtGlobal>

// How many bytes of one download may be asked for and not yet answered (an
// upload sizes its writes on their way alike). A link is full when what is on its way covers its rate times its round trip,
// so the window follows twice the measured rate times the shortest round
// trip seen: the spare half lets the rate show growth, which widens the
// window again. Until the rounds of answers stop coming faster or answers
// start to wait in a queue, each answered byte widens the window by two,
// tripling it every round trip, so a long fat link fills within a few round
// trips. An answer that takes long halves it, and the window never holds
// more than a second of the measured rate, so every answer stays well
// within a request's time limit.
//
// Times are in microseconds of a monotonic clock, given by the caller, so the
// window is a plain calculation.
class ReadWindow
{
public:
    static constexpr qint64 FirstBytes = 512 * 1024;
    // The owner's replies to a full window must never reach the link's cap
    // plus one frame: that would end the link. The margin covers the
    // records' headers and the byte each last read asks past the end.
    static constexpr qint64 ReplyHeadroom = 1024 * 1024;
    static constexpr qint64 MaxBytes = 31 * 1024 * 1024;
    static_assert(MaxBytes + ReplyHeadroom <= TcpConnection::SendBacklogCap + TcpConnection::MaxFrameSize,
                  "a full window of replies would end the owner's link");
    static_assert(MaxBytes >= 8 * WFtpEngine::MaxPeerChunkBytes, "a window holds several of the largest reads");
    // Reads of one size the window always lets go at once, as many as a
    // short link needs to keep both sides busy.
    static constexpr qint64 ReadsAlwaysAdmitted = 4;
    static_assert(ReadsAlwaysAdmitted * WFtpEngine::MaxPeerChunkBytes <= MaxBytes, "within the bound too");
    // An answer slower than this halves the window.
    static constexpr qint64 SlowAnswerUs = 2 * 1000 * 1000;
    // What is on its way is answered within this at the measured rate.
    static constexpr qint64 DrainBudgetUs = 1000 * 1000;

    ReadWindow() = default;
    // A window bounded lower than MaxBytes.
    explicit ReadWindow(qint64 maxBytes) : m_maxBytes(qBound(FirstBytes, maxBytes, MaxBytes)) {}

    qint64 bytes() const { return m_bytes; }
    // True while the window may still take a read of count bytes when
    // inFlight bytes are on their way.
    bool admits(qint64 inFlight, qint64 count) const
    {
        return inFlight + count <= qMax(m_bytes, ReadsAlwaysAdmitted * count);
    }

    // An answer of bytes arrived at nowUs, roundTripUs after its read was sent.
    void answered(qint64 bytes, qint64 roundTripUs, qint64 nowUs);
    // The link was lost or the reads dropped: start over.
    void reset() { *this = ReadWindow(m_maxBytes); }

private:
    void endRound(qint64 nowUs);
    // What the best recent rate answers within the drain budget.
    qint64 drainable() const;
    void setBytes(qint64 bytes);

    static constexpr int RoundsKeptForRate = 8;
    static constexpr int FlatRoundsEndGrowth = 3;

    qint64 m_maxBytes = MaxBytes;
    qint64 m_bytes = FirstBytes;
    bool m_growing = true;
    int m_flatRounds = 0;
    qint64 m_minRoundTripUs = -1;
    // Answered bytes and their span in the current round, which ends once
    // a window's worth has come.
    qint64 m_roundStartUs = -1;
    qint64 m_roundBytes = 0;
    qint64 m_roundWindow = FirstBytes;
    // Bytes per second of the last rounds; the best of them counts, so a
    // single slow round does not close the window.
    double m_rates[RoundsKeptForRate] = {};
    int m_nextRate = 0;
    double m_bestGrowthRate = 0;
};
