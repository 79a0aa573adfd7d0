#include "HexRequest.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(HexRequest, AcceptedLines)
{
    struct Row {
        std::vector<std::string> lines;
        Bytes bytes;
    };
    const Row rows[] = {
        {{"01", "03", "00", "00", "00", "2E"}, {0x01, 0x03, 0x00, 0x00, 0x00, 0x2E}},
        {{"ff", "0a", "FF", "0A"}, {0xFF, 0x0A, 0xFF, 0x0A}},
        {{"7"}, {0x07}},
        {{" 7", "\tA"}, {0x07, 0x0A}},
        {{"1G"}, {0x01}},  // reading stops at the first character that is no digit
        {{"0\x01"}, {0x00}},
        {{"01", ""}, {0x01}},  // the empty line after the final break is no byte
        {{}, {}},
        {{""}, {}},
        {{"1 ", " 2 "}, {0x01, 0x02}},
        {std::vector<std::string>(255, "AB"), Bytes(255, 0xAB)},
    };
    for (const auto& row : rows) {
        const HexRequest r = ParseHexLines(row.lines);
        EXPECT_TRUE(r.Ok()) << r.error;
        EXPECT_EQ(r.bytes, row.bytes);
    }
}

TEST(HexRequest, RefusedLinesNameTheLineAndTheReason)
{
    struct Row {
        std::vector<std::string> lines;
        int line;
        const char* reasonPart;
    };
    const Row rows[] = {
        {{"01", "ABC"}, 2, "больше двух знаков"},
        {{"1 2 3"}, 1, "больше двух знаков"},
        {{"01", "", "03"}, 2, "пустая строка"},
        {{"   "}, 1, "пустая строка"},
        {{"G1"}, 1, "не с шестнадцатеричной"},
        {{"01", "-1"}, 2, "не с шестнадцатеричной"},
        {{"\xD0\x90"}, 1, "не с шестнадцатеричной"},  // a Cyrillic letter
        {{std::string("\x00\x01", 2)}, 1, "не с шестнадцатеричной"},
        {{"  ", "01"}, 1, "пустая строка"},
        {std::vector<std::string>(256, "00"), 256, "не больше 255"},
        {std::vector<std::string>(300, "00"), 256, "300 строк"},
    };
    for (const auto& row : rows) {
        const HexRequest r = ParseHexLines(row.lines);
        EXPECT_FALSE(r.Ok());
        EXPECT_TRUE(r.bytes.empty()) << "a refused request has no bytes to send";
        EXPECT_EQ(r.errorLine, row.line);
        EXPECT_NE(r.error.find(row.reasonPart), std::string::npos) << r.error;
    }
}

} // namespace
