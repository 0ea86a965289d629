#include "BenchFigures.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

namespace BenchFigures {

Percentiles percentiles(std::vector<qint64> nanoseconds, double unitNs)
{
    if (nanoseconds.empty())
        return {};
    std::sort(nanoseconds.begin(), nanoseconds.end());
    const auto at = [&](double q) {
        return double(nanoseconds[std::size_t(q * double(nanoseconds.size() - 1))]) / unitNs;
    };
    return {at(0.50), at(0.99)};
}

std::vector<qint64> timedRuns(int warmUp, int count, const std::function<bool()> &run)
{
    for (int i = 0; i < warmUp; ++i) {
        if (!run())
            return {};
    }
    std::vector<qint64> samples;
    samples.reserve(std::size_t(count));
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        clock.start();
        if (!run())
            return {};
        samples.push_back(clock.nsecsElapsed());
    }
    return samples;
}

void printFigure(const char *figure, double value, const char *unit, const char *baseline, double baselineValue,
                 int decimals)
{
    std::printf("%s: %.*f %s | baseline %s: %.*f %s | ratio %.2f\n", figure, decimals, value, unit, baseline,
                decimals, baselineValue, unit, value / baselineValue);
    std::fflush(stdout);
}

} // namespace BenchFigures
