#include "TrendHistory.h"

#include <algorithm>

namespace {

int64_t FloorDiv(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

void Widen(TrendSpan& span, const TrendSpan& other)
{
    span.ms = std::min(span.ms, other.ms);
    span.lastMs = std::max(span.lastMs, other.lastMs);
    for (std::size_t s = 0; s < kSeriesCount; ++s) {
        span.min[s] = std::min(span.min[s], other.min[s]);
        span.max[s] = std::max(span.max[s], other.max[s]);
    }
}

} // namespace

void TrendHistory::Add(int64_t ms, const std::vector<uint16_t>& registers)
{
    if (registers.size() < kSeriesCount)
        return;
    const TrendValues values{registers[0], registers[1], registers[2], registers[3]};
    ++revision_;
    DropAfter(ms);
    if (!points_.empty() && ms - points_.back().ms < kSpacingMs) {
        TrendPoint& slot = points_.back();
        for (std::size_t s = 0; s < kSeriesCount; ++s) {
            slot.min[s] = std::min(slot.min[s], values[s]);
            slot.max[s] = std::max(slot.max[s], values[s]);
        }
        return;
    }
    points_.push_back({ms, values, values});
    Age(ms);
}

// The clock was set back: what is held after its new time would lie in the
// future, and kept, would break the order and outlast the day.
void TrendHistory::DropAfter(int64_t ms)
{
    while (!points_.empty() && points_.back().ms > ms)
        points_.pop_back();
    while (points_.empty() && !seconds_.empty() && seconds_.back().ms > ms)
        seconds_.pop_back();
}

void TrendHistory::Age(int64_t newestMs)
{
    while (!points_.empty() && (points_.size() > kCapacity || points_.front().ms < newestMs - kDetailMs)) {
        const TrendPoint& p = points_.front();
        const TrendSpan span{p.ms, p.ms, p.min, p.max};
        if (!seconds_.empty() && FloorDiv(seconds_.back().ms, kSecondMs) == FloorDiv(p.ms, kSecondMs))
            Widen(seconds_.back(), span);
        else
            seconds_.push_back(span);
        points_.pop_front();
    }
    while (!seconds_.empty() && seconds_.front().lastMs < newestMs - kKeepMs)
        seconds_.pop_front();
}

std::vector<TrendPoint> TrendHistory::Since(int64_t sinceMs) const
{
    std::vector<TrendPoint> out;
    for (const auto& p : points_)
        if (p.ms >= sinceMs)
            out.push_back(p);
    return out;
}

std::vector<TrendSpan> TrendHistory::Range(int64_t fromMs, int64_t toMs, int64_t stepMs) const
{
    stepMs = std::max<int64_t>(stepMs, 1);
    std::vector<TrendSpan> out;
    auto add = [&](const TrendSpan& span) {
        if (!out.empty() && FloorDiv(out.back().ms, stepMs) == FloorDiv(span.ms, stepMs))
            Widen(out.back(), span);
        else
            out.push_back(span);
    };
    const auto first = std::partition_point(seconds_.begin(), seconds_.end(),
                                            [&](const TrendSpan& s) { return s.lastMs < fromMs; });
    for (auto s = first; s != seconds_.end() && s->ms <= toMs; ++s)
        add(*s);
    const auto firstPoint = std::partition_point(points_.begin(), points_.end(),
                                                 [&](const TrendPoint& p) { return p.ms < fromMs; });
    for (auto p = firstPoint; p != points_.end() && p->ms <= toMs; ++p)
        add({p->ms, p->ms, p->min, p->max});
    return out;
}

std::size_t TrendHistory::MemoryBytes() const
{
    return sizeof(*this) + points_.size() * sizeof(TrendPoint) + seconds_.size() * sizeof(TrendSpan);
}
