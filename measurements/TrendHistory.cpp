#include "TrendHistory.h"

void TrendHistory::Add(int64_t ms, const std::vector<uint16_t>& registers)
{
    if (registers.size() < kSeriesCount)
        return;
    TrendPoint point{ms, {registers[0], registers[1], registers[2], registers[3]}};
    ++revision_;
    if (!points_.empty() && ms - points_.back().ms < kSpacingMs && ms >= points_.back().ms) {
        points_.back().values = point.values;  // the newest value of the slot
        return;
    }
    if (points_.size() == kCapacity)
        points_.pop_front();
    points_.push_back(point);
}

std::vector<TrendPoint> TrendHistory::Since(int64_t sinceMs) const
{
    std::vector<TrendPoint> out;
    for (const auto& p : points_)
        if (p.ms >= sinceMs)
            out.push_back(p);
    return out;
}
