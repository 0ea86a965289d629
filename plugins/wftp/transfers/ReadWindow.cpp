#include "ReadWindow.h"

#include <algorithm>

namespace {
constexpr double UsPerSecond = 1e6;
// A round counts as faster than the last one from this much.
constexpr double GrowthFactor = 1.25;
// The window over rate times round trip: the spare room that lets the rate
// show it could grow.
constexpr double Headroom = 2.0;
constexpr qint64 GrowthPerByte = 2;
// A round trip past this many times the shortest, plus the slack (for the
// largest reads' own time on the link), has waited in a queue.
constexpr qint64 QueuedFactor = 2;
constexpr qint64 QueuedSlackUs = 5000;
} // namespace

void ReadWindow::answered(qint64 bytes, qint64 roundTripUs, qint64 nowUs)
{
    if (bytes < 0 || roundTripUs < 0)
        return;
    if (m_minRoundTripUs < 0 || roundTripUs < m_minRoundTripUs)
        m_minRoundTripUs = qMax<qint64>(roundTripUs, 1);
    if (roundTripUs > SlowAnswerUs) {
        // The owner or the link is in trouble: ask for less at once.
        m_growing = false;
        setBytes(m_bytes / 2);
        m_roundStartUs = nowUs;
        m_roundBytes = 0;
        m_roundWindow = m_bytes;
        return;
    }
    // Answers that wait in a queue somewhere show the link is full, a round
    // trip before the rate does.
    if (m_growing && roundTripUs > QueuedFactor * m_minRoundTripUs + QueuedSlackUs)
        m_growing = false;
    // While growing, each answered byte lets two more go: the window triples
    // every round trip, and reads leave as soon as answers come.
    if (m_growing)
        setBytes(qMin(m_bytes + GrowthPerByte * bytes, drainable()));
    // The first round starts with its first answer's send.
    if (m_roundStartUs < 0 || nowUs < m_roundStartUs)
        m_roundStartUs = nowUs - roundTripUs;
    m_roundBytes += bytes;
    if (m_roundBytes >= m_roundWindow && nowUs > m_roundStartUs)
        endRound(nowUs);
}

qint64 ReadWindow::drainable() const
{
    const double bestRate = *std::max_element(std::begin(m_rates), std::end(m_rates));
    // Unknown before the first round: the bound alone.
    return bestRate > 0 ? qint64(bestRate * double(DrainBudgetUs) / UsPerSecond) : m_maxBytes;
}

void ReadWindow::endRound(qint64 nowUs)
{
    // A round takes at least a round trip: answers held up and then let
    // through at once do not show a faster link.
    const double rate = double(m_roundBytes) * UsPerSecond / double(qMax(nowUs - m_roundStartUs, m_minRoundTripUs));
    m_rates[m_nextRate] = rate;
    m_nextRate = (m_nextRate + 1) % RoundsKeptForRate;
    m_roundStartUs = nowUs;
    m_roundBytes = 0;

    if (m_growing) {
        if (rate >= GrowthFactor * m_bestGrowthRate) {
            m_bestGrowthRate = rate;
            m_flatRounds = 0;
        } else if (++m_flatRounds >= FlatRoundsEndGrowth) {
            m_growing = false;
        }
    }
    if (m_growing) {
        setBytes(qMin(m_bytes, drainable()));
    } else {
        const double bestRate = *std::max_element(std::begin(m_rates), std::end(m_rates));
        const double filled = bestRate * double(m_minRoundTripUs) / UsPerSecond;
        // Never more than the rate drains within the budget, whatever the
        // round trip: a slow link keeps its answers quick.
        setBytes(qMin(qint64(Headroom * filled), drainable()));
    }
    m_roundWindow = m_bytes;
}

void ReadWindow::setBytes(qint64 bytes)
{
    m_bytes = qBound(FirstBytes, bytes, m_maxBytes);
}
