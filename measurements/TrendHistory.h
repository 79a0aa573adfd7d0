#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

// The currents of the trends, in hundredths of an ampere.
enum Series { kIA, kIB, kIC, k3I0, kSeriesCount };

struct TrendPoint {
    int64_t ms;  // since the epoch
    std::array<uint16_t, kSeriesCount> values;
};

// The trend history: accepted polls only, at most one point per kSpacingMs
// (a later poll within it replaces the point), and never more than
// kCapacity points, so an hour at full detail fits and a run of days costs
// no more.
class TrendHistory {
public:
    static constexpr int64_t kSpacingMs = 100;
    static constexpr std::size_t kCapacity = 36000;  // 60 minutes at kSpacingMs

    void Add(int64_t ms, const std::vector<uint16_t>& registers);
    // Points no older than `sinceMs`, oldest first.
    std::vector<TrendPoint> Since(int64_t sinceMs) const;
    std::size_t Size() const { return points_.size(); }
    void Clear() { points_.clear(), ++revision_; }
    // Changes with every Add and Clear: a plot of the same revision is current.
    uint64_t Revision() const { return revision_; }

private:
    std::deque<TrendPoint> points_;
    uint64_t revision_ = 0;
};
