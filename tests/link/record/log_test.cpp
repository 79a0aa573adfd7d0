// The in-memory log and the time of day its lines carry.

#include "ExchangeLog.h"
#include "LocalTime.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogText, TimeOfDay)
{
    EXPECT_EQ(FormatLogTime(9, 5, 7, 45), "9:05:07:45");
    EXPECT_EQ(FormatLogTime(9, 5, 8, 7), "9:05:08:7");
    EXPECT_EQ(FormatLogTime(0, 0, 0, 0), "0:00:00:0");
    EXPECT_EQ(FormatLogTime(23, 59, 59, 999), "23:59:59:999");
}

TEST(ExchangeLogTest, TextEndsEveryLineWithCrLfAndClearEmpties)
{
    ExchangeLog log;
    EXPECT_EQ(log.Text(), "");
    log.Add("a");
    log.Add("б");
    EXPECT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.Text(), "a\r\nб\r\n");
    EXPECT_EQ(log.Line(1), "б");
    EXPECT_EQ(log.Line(2), "");
    EXPECT_EQ(log.TextFrom(1, "\n"), "б\n");
    EXPECT_EQ(log.TextFrom(2, "\n"), "");
    log.Clear();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.Text(), "");
}

TEST(ExchangeLogTest, ManyLinesAcrossBlocksStayWholeAndCompact)
{
    ExchangeLog log;
    std::size_t textBytes = 0;
    const std::string longLine(3u << 20, 'x');  // longer than a block
    for (int i = 0; i < 30000; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), '#');
        if (i == 12345)
            line = longLine;
        textBytes += line.size();
        log.Add(line);
    }
    ASSERT_EQ(log.Count(), 30000u);
    EXPECT_EQ(log.Line(0), "line 0");
    EXPECT_EQ(log.Line(12345), longLine);
    EXPECT_EQ(log.Line(29999), "line 29999" + std::string(29999 % 97, '#'));
    EXPECT_EQ(log.Text().size(), textBytes + 2 * 30000);
    EXPECT_LT(log.MemoryBytes(), textBytes + 32 * 30000 + (2u << 20));
    log.Clear();
    EXPECT_LT(log.MemoryBytes(), 1024u);
}

} // namespace
