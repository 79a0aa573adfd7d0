#include "LineOverview.h"
#include "LinkHealth.h"
#include "Recording.h"
#include "TrendHistory.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace {

std::vector<uint16_t> Registers(uint16_t ia, uint16_t ib, uint16_t ic, uint16_t i0)
{
    std::vector<uint16_t> r(46, 0);
    r[0] = ia;
    r[1] = ib;
    r[2] = ic;
    r[3] = i0;
    return r;
}

TEST(LinkHealth, Texts)
{
    PollStats stats;
    EXPECT_EQ(LinkHealthText(stats, {}), "Связь: опроса ещё не было");
    stats.polls = 3;
    stats.timeouts = 2;
    stats.rejected = 1;
    EXPECT_EQ(LinkHealthText(stats, {}),
              "Связь: нет ответа · ответов не было · опросов 3, ответов 0, таймаутов 2, ошибок CRC 1");
    stats.polls = 4;
    stats.answered = 1;
    stats.lastAnswered = true;
    EXPECT_EQ(LinkHealthText(stats, {2026, 12, 7, 9, 5, 7, 45}),
              "Связь: есть ответ · последний ответ 9:05:07 · опросов 4, ответов 1, таймаутов 2, ошибок CRC 1");
    stats.exceptions = 2;
    EXPECT_EQ(LinkHealthText(stats, {}).substr(LinkHealthText(stats, {}).rfind("ошибок")),
              "ошибок CRC 1, исключений 2");
}

// A relay's row in the overview: its link in words, and the red LEDs lit
// (not the green "Исправно") by their captions.
TEST(OverviewRowTest, LinkAndRedLeds)
{
    RegisterImage image(46);
    std::vector<uint16_t> values(46);
    values[0] = 1234;
    values[5] = 0b1000'0011;  // Исправно, I> and I>>
    image.Store(values.data());
    const auto at = std::chrono::system_clock::now();
    struct Row {
        uint64_t polls, answered;
        bool lastAnswered, rare;
        std::string link;  // "+": "нет ответа с " and the time of the last answer
    };
    for (const Row& row : {Row{0, 0, false, false, ""}, Row{4, 3, true, false, "есть ответ"},
                           Row{4, 3, false, false, "+"}, Row{9, 3, false, true, "опрашивается реже"}}) {
        PollStats stats;
        stats.polls = row.polls;
        stats.answered = row.answered;
        stats.lastAnswered = row.lastAnswered;
        stats.rare = row.rare;
        stats.lastAnswerAt = stats.failingSince = at;
        const OverviewRow r = MakeOverviewRow("Фидер 2", 2, image, stats, ",");
        EXPECT_EQ(r.link, row.link == "+" ? "нет ответа с " + r.lastAnswer : row.link) << row.polls;
        EXPECT_EQ(r.lastAnswer.size(), row.answered ? 8u : 0u);
        EXPECT_EQ(r.currents[0], row.answered ? "12,34" : "");
        EXPECT_EQ(r.redLeds, row.answered ? "Сработало I> (МТЗ)\nСработало I>> (ТО1)" : "");
    }
    EXPECT_EQ(RelayCaption("Фидер 2", 2), "Фидер 2 (адрес 2)");
    EXPECT_EQ(RelayCaption("", 5), "адрес 5");
}

TEST(TrendHistoryTest, KeepsOnePointPerSpacingAndABoundedNumber)
{
    TrendHistory h;
    h.Add(1000, Registers(1, 2, 3, 4));
    h.Add(1050, Registers(5, 6, 7, 8));  // same slot: both values kept
    h.Add(1100, Registers(9, 9, 9, 9));
    ASSERT_EQ(h.Size(), 2u);
    auto points = h.Since(0);
    EXPECT_EQ(points[0].ms, 1000);
    EXPECT_EQ(points[0].min[kIA], 1);
    EXPECT_EQ(points[0].max[k3I0], 8);
    EXPECT_EQ(h.Since(1001).size(), 1u);

    // Two hours of polls at 50 ms, one of them 50 A and the next of its slot
    // not: the last hour point by point, the one before in seconds, the
    // spike still its second's peak.
    constexpr int64_t kHour = 3600 * 1000, kSpike = 2000 + 1234500;  // its slot's first
    for (int64_t ms = 2000; ms < 2000 + 2 * kHour; ms += 50)
        h.Add(ms, Registers(ms == kSpike ? 5000 : 100, 100, 100, 0));
    points = h.Since(0);
    EXPECT_EQ(points.size(), TrendHistory::kCapacity);
    EXPECT_GE(points.front().ms, 2000 + kHour - 100) << "the oldest went first";
    const auto seconds = h.Range(0, 2000 + kHour - 1000, 1);
    EXPECT_NEAR(static_cast<double>(seconds.size()), 3600, 2);
    const auto minutes = h.Range(60000, 2000 + 2 * kHour, 60000);
    EXPECT_EQ(minutes.size(), 120u);
    for (const TrendSpan& m : minutes) {
        const bool spike = m.ms <= kSpike && kSpike <= m.lastMs;
        EXPECT_EQ(m.max[kIA], spike ? 5000 : 100) << m.ms;
        EXPECT_EQ(m.min[kIA], 100) << m.ms;
    }
    h.Add(0, {1, 2});  // too few registers: ignored
    EXPECT_EQ(h.Since(0).size(), TrendHistory::kCapacity);
    // A day and no more, whatever the run.
    for (int64_t ms = 2000 + 2 * kHour; ms < 2000 + 26 * kHour; ms += 1000)
        h.Add(ms, Registers(100, 100, 100, 0));
    EXPECT_GE(h.Range(0, 2000 + 26 * kHour, 1).front().ms, 2000 + 2 * kHour - 1000);
}

// A clock set back, by two days after each day of polls and then by five
// seconds: the history stays in order and no longer than a day.
TEST(TrendHistoryTest, AClockSetBackKeepsItInOrderAndADayLong)
{
    TrendHistory h;
    constexpr int64_t kDay = TrendHistory::kKeepMs, kStart = 10 * kDay;
    for (int64_t from : {kStart, kStart - kDay, kStart - 3 * kDay})
        for (int64_t ms = from; ms < from + kDay; ms += 1000)
            h.Add(ms, Registers(100, 100, 100, 0));
    EXPECT_LE(h.Size(), std::size_t{kDay / 1000});
    const int64_t back = h.NewestMs() - 5000;
    h.Add(back, Registers(200, 100, 100, 0));
    EXPECT_EQ(h.NewestMs(), back);
    const auto spans = h.Range(0, kStart + kDay, 1);
    for (std::size_t i = 1; i < spans.size(); ++i)
        ASSERT_LT(spans[i - 1].lastMs, spans[i].ms) << i;
    EXPECT_EQ(spans.back().max[kIA], 200);
}

TEST(RecordLineTest, TimeCurrentsAndBits)
{
    std::vector<uint16_t> r = Registers(1234, 5, 65535, 0);
    r[4] = 0x0005;
    r[5] = 0x0081;
    r[45] = 1000;
    const LocalTime at{2026, 12, 7, 9, 5, 7, 45};
    EXPECT_EQ(RecordLine(at, r, ","), "2026-12-07 09:05:07.045;12,34;0,05;655,35;0,00;10,00;11000000;1010");
    EXPECT_EQ(RecordLine(at, r, "."), "2026-12-07 09:05:07.045;12.34;0.05;655.35;0.00;10.00;11000000;1010");
}

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = (std::filesystem::temp_directory_path() / ("zarit-rec-" + std::to_string(::getpid()) + ".csv")).string();
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::string Content() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string path_;
};

TEST_F(RecordingTest, EveryLineIsInTheFileAsSoonAsItIsWritten)
{
    Recording r;
    ASSERT_TRUE(r.Start(path_, "head"));
    EXPECT_EQ(Content(), "head\r\n");
    ASSERT_TRUE(r.Write("one"));
    EXPECT_EQ(Content(), "head\r\none\r\n") << "flushed, not waiting in a buffer";
    r.Stop();
    EXPECT_FALSE(r.Active());
    EXPECT_FALSE(r.Write("after"));
}

TEST_F(RecordingTest, FailuresStopItWithTheReason)
{
    Recording r;
    EXPECT_FALSE(r.Start("/nonexistent/folder/x.csv", "head"));
    EXPECT_FALSE(r.Active());
    EXPECT_FALSE(r.Error().empty());

    // A disk that fills up half way: the file size limit stands in for it.
    ASSERT_TRUE(r.Start(path_, "head"));
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    int written = 0;
    while (r.Write("a line of twenty bytes") && written < 100)
        ++written;
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_LT(written, 5);
    EXPECT_FALSE(r.Active());
    EXPECT_FALSE(r.Error().empty());
    EXPECT_LE(Content().size(), 64u);
}

} // namespace
