#include "TrendGeometry.h"

#include "RelayRegisters.h"

#include <algorithm>
#include <cmath>

double NiceStep(double range, int ticks)
{
    const double raw = range / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

TrendGeometry LayOutTrends(const std::vector<TrendPoint>& points, int64_t nowMs, int spanMinutes,
                           const PlotRect& area)
{
    TrendGeometry g;
    const int64_t span = int64_t{spanMinutes} * 60000;
    const int64_t start = nowMs - span;

    uint16_t top = 100;  // at least 1 A of scale
    for (const auto& pt : points)
        for (uint16_t v : pt.values)
            top = std::max(top, v);
    g.maxAmps = top * relay::kAmperesPerUnit * 1.1;
    auto y = [&](double amps) { return area.Bottom() - amps / g.maxAmps * area.height; };

    const double step = NiceStep(g.maxAmps, 5);
    for (double a = 0; a <= g.maxAmps + 1e-9; a += step)
        g.ampTicks.push_back({a, y(a)});
    const int divisions = spanMinutes == 10 ? 10 : 6;
    for (int i = 0; i <= divisions; ++i)
        g.timeTicks.push_back({start + span * i / divisions, area.left + area.width * i / divisions});

    for (int s = 0; s < kSeriesCount; ++s) {
        auto& pieces = g.lines[static_cast<std::size_t>(s)];
        int64_t previous = 0;
        for (const auto& pt : points) {
            const PlotPoint at{area.left + static_cast<double>(pt.ms - start) * area.width / static_cast<double>(span),
                               y(pt.values[static_cast<std::size_t>(s)] * relay::kAmperesPerUnit)};
            if (pieces.empty() || pt.ms - previous > kTrendGapMs)
                pieces.emplace_back();
            pieces.back().push_back(at);
            previous = pt.ms;
        }
    }
    return g;
}
