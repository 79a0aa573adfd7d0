#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

// The currents of the trends, in hundredths of an ampere.
enum Series { kIA, kIB, kIC, k3I0, kSeriesCount };

using TrendValues = std::array<uint16_t, kSeriesCount>;

// Up to kSpacingMs of the last hour: the least and the greatest value of
// each current polled in it, so that no poll's spike is lost to the next.
struct TrendPoint {
    int64_t ms;  // its first poll, since the epoch
    TrendValues min, max;
};

// A stretch of the history as the plot draws it: one point, or the least
// and the greatest value of each current over several.
struct TrendSpan {
    int64_t ms;      // its first moment, since the epoch
    int64_t lastMs;  // its last; ms for a single point
    TrendValues min, max;
};

// The trend history: accepted polls only, at most one point per kSpacingMs
// (a later poll within it widens the point's least and greatest values). The
// last hour is kept point by point; older points become one span per second
// with their least and greatest value, so that a short spike is never
// averaged away; a day is kept in all. A clock set back drops what was held
// after its new time, so the history stays in order. Memory stays bounded
// however long the program runs and wherever the clock goes.
class TrendHistory {
public:
    static constexpr int64_t kSpacingMs = 100;
    static constexpr std::size_t kCapacity = 36000;  // 60 minutes at kSpacingMs
    static constexpr int64_t kDetailMs = 3600000;    // the last hour, point by point
    static constexpr int64_t kSecondMs = 1000;       // older: a span per second
    static constexpr int64_t kKeepMs = 24 * 3600000;

    void Add(int64_t ms, const std::vector<uint16_t>& registers);
    // Points no older than `sinceMs`, oldest first; the last hour only.
    std::vector<TrendPoint> Since(int64_t sinceMs) const;
    // What lies in [fromMs, toMs], oldest first, merged into spans of at
    // most stepMs each, aligned to multiples of stepMs since the epoch (so
    // that a plot scrolled by a whole step shows the same spans).
    std::vector<TrendSpan> Range(int64_t fromMs, int64_t toMs, int64_t stepMs) const;
    std::size_t Size() const { return points_.size() + seconds_.size(); }
    // The newest moment held; 0 for none.
    int64_t NewestMs() const
    {
        return !points_.empty() ? points_.back().ms : seconds_.empty() ? 0 : seconds_.back().lastMs;
    }
    std::size_t MemoryBytes() const;
    void Clear() { points_.clear(), seconds_.clear(), ++revision_; }
    // Changes with every Add and Clear: a plot of the same revision is current.
    uint64_t Revision() const { return revision_; }

private:
    void Age(int64_t newestMs);
    void DropAfter(int64_t ms);

    std::deque<TrendPoint> points_;
    std::deque<TrendSpan> seconds_;  // older than points_, one per second
    uint64_t revision_ = 0;
};
