// The trend plot's geometry, without a window: scale, grid and the lines
// with their gaps, in pixels.

#include "TrendGeometry.h"

#include <gtest/gtest.h>

namespace {

TrendSpan Point(int64_t ms, uint16_t ia, uint16_t ib = 0, uint16_t ic = 0, uint16_t i0 = 0)
{
    return {ms, ms, {ia, ib, ic, i0}, {ia, ib, ic, i0}};
}

const PlotRect kArea{56, 28, 600, 300};
constexpr int64_t kNow = 1'000'000'000;

TrendView View(int64_t endMs, int64_t spanMs)
{
    return {endMs, spanMs, false};
}

TrendView Minutes(int minutes)
{
    return View(kNow, int64_t{minutes} * 60000);
}

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
        std::vector<TrendSpan> points;
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
        const TrendGeometry g = LayOutTrends(row.points, Minutes(10), kArea);
        EXPECT_NEAR(g.maxAmps, row.maxAmps, 1e-9);
        ASSERT_EQ(g.ampTicks.size(), row.ampTicks);
        EXPECT_DOUBLE_EQ(g.ampTicks.front().amps, 0);
        EXPECT_DOUBLE_EQ(g.ampTicks.front().y, kArea.Bottom());
        for (const AmpTick& tick : g.ampTicks)
            EXPECT_NEAR(tick.y, kArea.Bottom() - tick.amps / g.maxAmps * kArea.height, 1e-9);
    }
}

// Grid lines on round local times, labels as fine as the step.
TEST(TrendGeometryTest, TimeGridOnRoundTimesAtEveryZoom)
{
    struct Row {
        int64_t spanMs;
        int64_t offsetMs;  // local time ahead of UTC
        int64_t step;
        const char* format;
    };
    const Row rows[] = {
        {10000, 0, 2000, "H:mm:ss"},          {60000, 0, 10000, "H:mm:ss"},
        {600000, 0, 120000, "H:mm"},          {3600000, 3 * 3600000, 600000, "H:mm"},
        {24 * 3600000, 3 * 3600000, 6 * 3600000, "H:mm"},
    };
    for (const Row& row : rows) {
        const TrendView view = View(kNow + 777, row.spanMs);
        const TrendGeometry g = LayOutTrends({}, view, kArea, 0, row.offsetMs);
        EXPECT_STREQ(g.timeFormat, row.format) << row.spanMs;
        ASSERT_GE(g.timeTicks.size(), 2u) << row.spanMs;
        EXPECT_LE(g.timeTicks.size(), 7u) << row.spanMs;
        EXPECT_LT(g.timeTicks.front().ms - view.StartMs(), row.step) << row.spanMs;
        EXPECT_LT(view.endMs - g.timeTicks.back().ms, row.step) << row.spanMs;
        for (std::size_t i = 0; i < g.timeTicks.size(); ++i) {
            EXPECT_EQ((g.timeTicks[i].ms + row.offsetMs) % row.step, 0) << row.spanMs;
            EXPECT_DOUBLE_EQ(g.timeTicks[i].x, view.XOf(g.timeTicks[i].ms, kArea));
        }
    }
    EXPECT_EQ(TimeStep(100, 5), 20);
    EXPECT_STREQ(LayOutTrends({}, View(kNow, 10000), {0, 0, 2000, 100}).timeFormat, "H:mm:ss.zzz");
}

// The wheel keeps the moment under the pointer in place, within 10 s and a
// day; a drag moves the view by what the pointer moved.
TEST(TrendGeometryTest, ZoomAboutThePointerAndPan)
{
    struct Row {
        double factor, at;
        int64_t spanMs;
    };
    const TrendView view{kNow, 600000, true};
    for (const Row& row : {Row{0.5, 0.25, 300000}, Row{2, 1, 1200000}, Row{0.001, 0.5, 10000},
                           Row{1000, 0, 24 * 3600000}}) {
        const TrendView zoomed = view.Zoomed(row.factor, row.at);
        EXPECT_EQ(zoomed.spanMs, row.spanMs) << row.factor;
        EXPECT_FALSE(zoomed.follow);
        const double x = kArea.left + row.at * kArea.width;
        EXPECT_NEAR(static_cast<double>(zoomed.MsAt(x, kArea)), static_cast<double>(view.MsAt(x, kArea)), 1) << row.factor;
    }
    const TrendView panned = view.Panned(0.5);
    EXPECT_EQ(panned.endMs, kNow - 300000);
    EXPECT_EQ(panned.spanMs, view.spanMs);
    EXPECT_DOUBLE_EQ(panned.XOf(kNow - 300000, kArea), kArea.left + kArea.width);
}

TEST(TrendGeometryTest, PointsLandWhereTheirTimeAndCurrentSay)
{
    const std::vector<TrendSpan> points = {Point(kNow - 10000, 0), Point(kNow - 5000, 55), Point(kNow, 110)};
    const TrendGeometry g = LayOutTrends(points, Minutes(1), kArea);  // scale 1.21 A
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
        std::vector<TrendSpan> points;
        for (int64_t ago : row.ago)
            points.push_back(Point(kNow - ago, 100));
        const TrendGeometry g = LayOutTrends(points, Minutes(1), kArea);
        std::vector<std::size_t> pieces;
        for (const auto& piece : g.lines[kIB])
            pieces.push_back(piece.size());
        EXPECT_EQ(pieces, row.pieces) << row.ago.size() << " points";
    }
}

// A span of several points is a stroke from its least to its greatest value,
// and the cursor reads both.
TEST(TrendGeometryTest, SpansDrawAndReadTheirSpread)
{
    TrendSpan spike = Point(kNow - 30000, 250);
    spike.lastMs = kNow - 29000;
    spike.max[kIA] = 847;
    const std::vector<TrendSpan> spans = {Point(kNow - 40000, 250), spike, Point(kNow - 20000, 250)};
    const TrendGeometry g = LayOutTrends(spans, Minutes(1), kArea);
    ASSERT_EQ(g.lines[kIA].size(), 1u);
    const auto& line = g.lines[kIA][0];
    ASSERT_EQ(line.size(), 4u);
    EXPECT_DOUBLE_EQ(line[1].x, line[2].x);
    EXPECT_LT(line[1].y, line[2].y);
    EXPECT_EQ(g.lines[kIB][0].size(), 3u);

    struct Row {
        int64_t ms, tolerance;
        const char* ia;
    };
    for (const Row& row : {Row{kNow - 29500, 0, "2,50…8,47"}, Row{kNow - 20100, 200, "2,50"},
                           Row{kNow - 25000, 1000, ""}}) {
        const auto near = SpanNear(spans, row.ms, row.tolerance);
        EXPECT_EQ(near ? SpanValueText(*near, kIA, ",") : "", row.ia) << row.ms;
    }
}

} // namespace
