// The trend plot's geometry, without a window: scale, grid and the lines
// with their gaps, in pixels.

#include "TrendGeometry.h"

#include <gtest/gtest.h>

namespace {

TrendPoint Point(int64_t ms, uint16_t ia, uint16_t ib = 0, uint16_t ic = 0, uint16_t i0 = 0)
{
    return {ms, {ia, ib, ic, i0}};
}

const PlotRect kArea{56, 28, 600, 300};
constexpr int64_t kNow = 1'000'000'000;

TEST(TrendGeometryTest, NiceSteps)
{
    struct Row {
        double range;
        double step;
    };
    const Row rows[] = {{1.1, 0.5}, {0.5, 0.1}, {10, 2}, {7.2, 2}, {720.9, 200}, {13.574, 5}, {4.0, 1}};
    for (const Row& row : rows)
        EXPECT_DOUBLE_EQ(NiceStep(row.range, 5), row.step) << row.range;
}

TEST(TrendGeometryTest, ScaleAndGrid)
{
    struct Row {
        std::vector<TrendPoint> points;
        double maxAmps;
        std::size_t ampTicks;
    };
    const Row rows[] = {
        {{}, 1.1, 3},                                   // at least 1 A: 0, 0.5, 1
        {{Point(kNow - 1000, 50, 20)}, 1.1, 3},         // below 1 A: still 1 A
        {{Point(kNow - 1000, 1234, 99, 0, 7)}, 13.574, 3},  // the highest of all series, + 10 %: 0, 5, 10
        {{Point(kNow - 1000, 0, 0, 0, 65535)}, 720.885, 4},  // 0, 200, 400, 600
    };
    for (const Row& row : rows) {
        const TrendGeometry g = LayOutTrends(row.points, kNow, 10, kArea);
        EXPECT_NEAR(g.maxAmps, row.maxAmps, 1e-9);
        ASSERT_EQ(g.ampTicks.size(), row.ampTicks);
        EXPECT_DOUBLE_EQ(g.ampTicks.front().amps, 0);
        EXPECT_DOUBLE_EQ(g.ampTicks.front().y, kArea.Bottom());
        for (const AmpTick& tick : g.ampTicks)
            EXPECT_NEAR(tick.y, kArea.Bottom() - tick.amps / g.maxAmps * kArea.height, 1e-9);
    }
}

TEST(TrendGeometryTest, TimeGridSpansTheWindowUpToNow)
{
    struct Row {
        int minutes;
        std::size_t ticks;
    };
    for (const Row& row : {Row{1, 7}, Row{10, 11}, Row{60, 7}}) {
        const TrendGeometry g = LayOutTrends({}, kNow, row.minutes, kArea);
        ASSERT_EQ(g.timeTicks.size(), row.ticks) << row.minutes;
        EXPECT_EQ(g.timeTicks.front().ms, kNow - row.minutes * 60000);
        EXPECT_DOUBLE_EQ(g.timeTicks.front().x, kArea.left);
        EXPECT_EQ(g.timeTicks.back().ms, kNow);
        EXPECT_DOUBLE_EQ(g.timeTicks.back().x, kArea.left + kArea.width);
    }
}

TEST(TrendGeometryTest, PointsLandWhereTheirTimeAndCurrentSay)
{
    const std::vector<TrendPoint> points = {Point(kNow - 10000, 0), Point(kNow - 5000, 55), Point(kNow, 110)};
    const TrendGeometry g = LayOutTrends(points, kNow, 1, kArea);  // scale 1.21 A
    const auto& line = g.lines[kIA];
    ASSERT_EQ(line.size(), 1u);
    ASSERT_EQ(line[0].size(), 3u);
    EXPECT_EQ(line[0][0], (PlotPoint{556, 328}));
    EXPECT_DOUBLE_EQ(line[0][1].x, 606);
    EXPECT_NEAR(line[0][1].y, 328 - 0.55 / 1.21 * 300, 1e-9);
    EXPECT_DOUBLE_EQ(line[0][2].x, 656);
    EXPECT_NEAR(line[0][2].y, 328 - 1.1 / 1.21 * 300, 1e-9);
    // Every series has its own line over the same points.
    EXPECT_EQ(g.lines[k3I0].size(), 1u);
    EXPECT_EQ(g.lines[k3I0][0][2].y, kArea.Bottom());
}

TEST(TrendGeometryTest, LinesBreakAtGapsOfMoreThanTenSeconds)
{
    struct Row {
        std::vector<int64_t> ago;  // ms before now
        std::vector<std::size_t> pieces;
    };
    const Row rows[] = {
        {{}, {}},
        {{5000}, {1}},
        {{30000, 20000, 10000}, {3}},          // exactly ten seconds apart: joined
        {{30000, 19999, 9998}, {1, 1, 1}},     // a millisecond more: broken each time
        {{59000, 58000, 40000, 39000, 1000}, {2, 2, 1}},
    };
    for (const Row& row : rows) {
        std::vector<TrendPoint> points;
        for (int64_t ago : row.ago)
            points.push_back(Point(kNow - ago, 100));
        const TrendGeometry g = LayOutTrends(points, kNow, 1, kArea);
        std::vector<std::size_t> pieces;
        for (const auto& piece : g.lines[kIB])
            pieces.push_back(piece.size());
        EXPECT_EQ(pieces, row.pieces) << row.ago.size() << " points";
    }
}

} // namespace
