#pragma once

// Where the trend plot puts things, in pixels, without any window: the
// stretch of time shown and how the operator moves it, the current scale
// with its grid, the time grid with labels fit for the zoom, and the
// polylines of the four series, broken where the history has a gap.

#include "TrendHistory.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
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

// The stretch of time the plot shows. Following, its right edge is the
// newest moment; otherwise it stays where the operator put it.
struct TrendView {
    static constexpr int64_t kMinSpanMs = 10000;
    static constexpr int64_t kMaxSpanMs = TrendHistory::kKeepMs;

    int64_t endMs = 0;
    int64_t spanMs = 600000;
    bool follow = true;

    int64_t StartMs() const { return endMs - spanMs; }
    // The span times `factor`, within 10 s and a day, about the moment at
    // `at` (0: the left edge, 1: the right), which stays where it is.
    TrendView Zoomed(double factor, double at) const;
    // Moved back in time by `fraction` of the width (forward when negative).
    TrendView Panned(double fraction) const;
    double XOf(int64_t ms, const PlotRect& area) const;
    int64_t MsAt(double x, const PlotRect& area) const;
};

struct TrendGeometry {
    double maxAmps = 0;  // the top of the scale
    std::vector<AmpTick> ampTicks;
    std::vector<TimeTick> timeTicks;
    // How the time labels read at this zoom, in Qt's date-time format.
    const char* timeFormat = "H:mm";
    // Per series, the pieces of its line: a new piece after each gap. A span
    // of several points is a stroke from its least to its greatest value.
    std::array<std::vector<std::vector<PlotPoint>>, kSeriesCount> lines;
};

// Points further apart than this (polling stopped, relay silent) are not
// joined by a line.
inline constexpr int64_t kTrendGapMs = 10000;

// A round step (1, 2 or 5 times a power of ten) for about `ticks` grid
// lines over `range`.
double NiceStep(double range, int ticks);

// The step of the time grid, from 1 ms to 6 h, for at most `ticks` lines
// over `spanMs`.
int64_t TimeStep(int64_t spanMs, int ticks);

// The plot of `spans` (oldest first) over `view` in `area`. With fixedMaxAmps
// the scale ends there; otherwise it shows at least 1 A, and 10 % above the
// highest current shown. utcOffsetMs puts the time grid on round local times.
TrendGeometry LayOutTrends(const std::vector<TrendSpan>& spans, const TrendView& view, const PlotRect& area,
                           double fixedMaxAmps = 0, int64_t utcOffsetMs = 0);

// The span drawn nearest to `ms`, if one lies within `toleranceMs`.
std::optional<TrendSpan> SpanNear(const std::vector<TrendSpan>& spans, int64_t ms, int64_t toleranceMs);

// A current of a span as the cursor reads it: "8,47", or "8,40…8,47" when
// the span holds several values.
std::string SpanValueText(const TrendSpan& span, Series series, const std::string& decimalSeparator);

// The spans as CSV lines (no line ends): a header, then one row each with
// its first and last moment and each current's least and greatest value.
std::vector<std::string> TrendCsvLines(const std::vector<TrendSpan>& spans, const std::string& decimalSeparator);
