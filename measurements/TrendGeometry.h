#pragma once

// Where the trend plot puts things, in pixels, without any window: the
// current scale with its grid, the time grid, and the polylines of the four
// series, broken where the history has a gap.

#include "TrendHistory.h"

#include <array>
#include <cstdint>
#include <vector>

struct PlotRect {
    double left = 0, top = 0, width = 0, height = 0;
    double Bottom() const { return top + height; }
};

struct PlotPoint {
    double x = 0, y = 0;
    bool operator==(const PlotPoint&) const = default;
};

struct AmpTick {
    double amps;
    double y;
};

struct TimeTick {
    int64_t ms;  // since the epoch
    double x;
};

struct TrendGeometry {
    double maxAmps = 0;  // the top of the scale
    std::vector<AmpTick> ampTicks;
    std::vector<TimeTick> timeTicks;
    // Per series, the pieces of its line: a new piece after each gap.
    std::array<std::vector<std::vector<PlotPoint>>, kSeriesCount> lines;
};

// Points further apart than this (polling stopped, relay silent) are not
// joined by a line.
inline constexpr int64_t kTrendGapMs = 10000;

// A round step (1, 2 or 5 times a power of ten) for about `ticks` grid
// lines over `range`.
double NiceStep(double range, int ticks);

// The plot of `points` (oldest first) over the `spanMinutes` that end at
// `nowMs`, in `area`. The scale shows at least 1 A, and 10 % above the
// highest current.
TrendGeometry LayOutTrends(const std::vector<TrendPoint>& points, int64_t nowMs, int spanMinutes,
                           const PlotRect& area);
