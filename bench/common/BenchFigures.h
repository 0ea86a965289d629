#pragma once

// What every benchmark shares: timed runs, their percentiles, and the figure
// line that sets a measured value beside a baseline measured in the same run.

#include <QtGlobal>

#include <functional>
#include <vector>

namespace BenchFigures {

// Nanoseconds per unit, to read samples in the unit a figure is printed in.
constexpr double kMicrosecond = 1e3;
constexpr double kMillisecond = 1e6;

struct Percentiles
{
    double p50 = 0;
    double p99 = 0;
};

// Median and 99th percentile (nearest rank) of samples in nanoseconds, read
// in units of unitNs nanoseconds. Zeros for no samples.
Percentiles percentiles(std::vector<qint64> nanoseconds, double unitNs);

// Calls run warmUp times untimed, then count times one after another, each
// timed alone: the nanoseconds of the timed calls, or nothing once a call
// returns false.
std::vector<qint64> timedRuns(int warmUp, int count, const std::function<bool()> &run);

// Prints "<figure>: <value> <unit> | baseline <baseline>: <value> <unit> |
// ratio <value / baselineValue>" with the given decimals, and flushes at once
// so a long run shows each figure as soon as it is known.
void printFigure(const char *figure, double value, const char *unit, const char *baseline, double baselineValue,
                 int decimals = 1);

} // namespace BenchFigures
