#include "TrendGeometry.h"

#include "LocalTime.h"
#include "RelayRegisters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

TrendView TrendView::Zoomed(double factor, double at) const
{
    TrendView v = *this;
    at = std::clamp(at, 0.0, 1.0);
    v.spanMs = std::clamp<int64_t>(std::llround(static_cast<double>(spanMs) * factor), kMinSpanMs, kMaxSpanMs);
    const int64_t pivot = StartMs() + std::llround(at * static_cast<double>(spanMs));
    v.endMs = pivot - std::llround(at * static_cast<double>(v.spanMs)) + v.spanMs;
    v.follow = false;
    return v;
}

TrendView TrendView::Panned(double fraction) const
{
    TrendView v = *this;
    v.endMs -= std::llround(fraction * static_cast<double>(spanMs));
    v.follow = false;
    return v;
}

double TrendView::XOf(int64_t ms, const PlotRect& area) const
{
    return area.left + static_cast<double>(ms - StartMs()) * area.width / static_cast<double>(spanMs);
}

int64_t TrendView::MsAt(double x, const PlotRect& area) const
{
    return StartMs() + std::llround((x - area.left) / area.width * static_cast<double>(spanMs));
}

double NiceStep(double range, int ticks)
{
    const double raw = range / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

int64_t TimeStep(int64_t spanMs, int ticks)
{
    static constexpr int64_t kSteps[] = {1,      2,      5,      10,      20,      50,      100,      200,
                                         500,    1000,   2000,   5000,    10000,   15000,   30000,    60000,
                                         120000, 300000, 600000, 900000,  1800000, 3600000, 7200000,  10800000,
                                         21600000};
    for (int64_t step : kSteps)
        if (spanMs / step <= ticks)
            return step;
    return kSteps[std::size(kSteps) - 1];
}

TrendGeometry LayOutTrends(const std::vector<TrendSpan>& spans, const TrendView& view, const PlotRect& area,
                           double fixedMaxAmps, int64_t utcOffsetMs)
{
    TrendGeometry g;
    const int64_t start = view.StartMs();
    if (fixedMaxAmps > 0) {
        g.maxAmps = fixedMaxAmps;
    } else {
        uint16_t top = 100;  // at least 1 A of scale
        for (const TrendSpan& s : spans)
            if (s.lastMs >= start && s.ms <= view.endMs)
                for (uint16_t v : s.max)
                    top = std::max(top, v);
        g.maxAmps = top * relay::kAmperesPerUnit * 1.1;
    }
    auto y = [&](uint16_t value) {
        const double amps = std::min(value * relay::kAmperesPerUnit, g.maxAmps);  // a fixed scale clips
        return area.Bottom() - amps / g.maxAmps * area.height;
    };

    const double step = NiceStep(g.maxAmps, 5);
    for (double a = 0; a <= g.maxAmps + 1e-9; a += step)
        g.ampTicks.push_back({a, area.Bottom() - a / g.maxAmps * area.height});

    // Round local times, about one label per 90 pixels.
    const int64_t timeStep = TimeStep(view.spanMs, std::max(2, static_cast<int>(area.width / 90)));
    g.timeFormat = timeStep < 1000 ? "H:mm:ss.zzz" : timeStep < 60000 ? "H:mm:ss" : "H:mm";
    const int64_t local = start + utcOffsetMs;
    for (int64_t t = (local / timeStep + (local % timeStep > 0)) * timeStep - utcOffsetMs; t <= view.endMs; t += timeStep)
        g.timeTicks.push_back({t, view.XOf(t, area)});

    for (std::size_t s = 0; s < kSeriesCount; ++s) {
        auto& pieces = g.lines[s];
        int64_t previous = 0;
        for (const TrendSpan& span : spans) {
            const double x = view.XOf(span.ms + (span.lastMs - span.ms) / 2, area);
            if (pieces.empty() || span.ms - previous > kTrendGapMs)
                pieces.emplace_back();
            pieces.back().push_back({x, y(span.max[s])});
            if (span.min[s] != span.max[s])
                pieces.back().push_back({x, y(span.min[s])});
            previous = span.lastMs;
        }
    }
    return g;
}

std::optional<TrendSpan> SpanNear(const std::vector<TrendSpan>& spans, int64_t ms, int64_t toleranceMs)
{
    std::optional<TrendSpan> best;
    int64_t bestDistance = toleranceMs + 1;
    for (const TrendSpan& s : spans) {
        const int64_t distance = ms < s.ms ? s.ms - ms : ms > s.lastMs ? ms - s.lastMs : 0;
        if (distance < bestDistance) {
            best = s;
            bestDistance = distance;
        }
    }
    return best;
}

std::string SpanValueText(const TrendSpan& span, Series series, const std::string& decimalSeparator)
{
    const std::string low = FormatMeasuredCurrent(span.min[series], decimalSeparator);
    return span.min[series] == span.max[series] ? low
                                                : low + "…" + FormatMeasuredCurrent(span.max[series], decimalSeparator);
}

std::vector<std::string> TrendCsvLines(const std::vector<TrendSpan>& spans, const std::string& decimalSeparator)
{
    auto time = [](int64_t ms) {
        const LocalTime t = ToLocal(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
        char text[32];
        std::snprintf(text, sizeof text, "%02d.%02d.%04d %02d:%02d:%02d.%03d", t.day, t.month, t.year, t.hour,
                      t.minute, t.second, t.millisecond);
        return std::string(text);
    };
    std::vector<std::string> lines{"С;По;Ia мин, А;Ia макс, А;Ib мин, А;Ib макс, А;Ic мин, А;Ic макс, А;"
                                   "3Io мин, А;3Io макс, А"};
    for (const TrendSpan& s : spans) {
        std::string line = time(s.ms) + ";" + time(s.lastMs);
        for (std::size_t i = 0; i < kSeriesCount; ++i)
            line += ";" + FormatMeasuredCurrent(s.min[i], decimalSeparator) + ";"
                    + FormatMeasuredCurrent(s.max[i], decimalSeparator);
        lines.push_back(std::move(line));
    }
    return lines;
}
