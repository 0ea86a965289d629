#include "ReadWindow.h"

#include <algorithm>

namespace {
constexpr double UsPerSecond = 1e6;
// A round counts as faster than the last one from this much.
constexpr double GrowthFactor = 1.25;
// The window over rate times round trip: the spare room that lets the rate
// show it could grow.
constexpr double Headroom = 2.0;
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
    // The first round starts with its first answer's send.
    if (m_roundStartUs < 0 || nowUs < m_roundStartUs)
        m_roundStartUs = nowUs - roundTripUs;
    m_roundBytes += bytes;
    if (m_roundBytes >= m_roundWindow && nowUs > m_roundStartUs)
        endRound(nowUs);
}

void ReadWindow::endRound(qint64 nowUs)
{
    const double rate = double(m_roundBytes) * UsPerSecond / double(nowUs - m_roundStartUs);
    m_rates[m_nextRate] = rate;
    m_nextRate = (m_nextRate + 1) % RoundsKeptForRate;
    m_roundStartUs = nowUs;
    m_roundBytes = 0;

    const double bestRate = *std::max_element(std::begin(m_rates), std::end(m_rates));
    const double filled = bestRate * double(m_minRoundTripUs) / UsPerSecond;
    // Never more than the rate drains within the budget, whatever the
    // round trip: a slow link keeps its answers quick.
    const double drainable = bestRate * double(DrainBudgetUs) / UsPerSecond;
    qint64 next = qint64(std::min(Headroom * filled, drainable));
    if (m_growing) {
        if (rate >= GrowthFactor * m_bestGrowthRate) {
            m_bestGrowthRate = rate;
            m_flatRounds = 0;
            next = std::max(next, qint64(std::min<double>(2.0 * double(m_bytes), drainable)));
        } else if (++m_flatRounds >= FlatRoundsEndGrowth) {
            m_growing = false;
        } else {
            next = std::max(next, m_bytes);
        }
    }
    setBytes(next);
    m_roundWindow = m_bytes;
}

void ReadWindow::setBytes(qint64 bytes)
{
    m_bytes = qBound(FirstBytes, bytes, MaxBytes);
}
