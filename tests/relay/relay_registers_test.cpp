// The register map's texts and bits, as the windows, the events and the
// recording take them.

#include "RelayRegisters.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RelayRegisters, MeasuredCurrentsAndSpeedCodes)
{
    struct Row {
        uint16_t value;
        const char* comma;
    };
    for (const Row& row : {Row{0, "0,00"}, Row{5, "0,05"}, Row{1234, "12,34"}, Row{65535, "655,35"},
                           Row{100, "1,00"}, Row{10, "0,10"}}) {
        EXPECT_EQ(FormatMeasuredCurrent(row.value, ","), row.comma);
        std::string dotted = row.comma;
        dotted[dotted.find(',')] = '.';
        EXPECT_EQ(FormatMeasuredCurrent(row.value, "."), dotted);
    }
    EXPECT_EQ(SpeedCodeText(0), "9600");
    EXPECT_EQ(SpeedCodeText(1), "19200");
    EXPECT_EQ(SpeedCodeText(2), "38400");
    EXPECT_EQ(SpeedCodeText(3), "");
    EXPECT_EQ(SpeedCodeText(65535), "");
}

TEST(RelayRegisters, IndicatorBits)
{
    // Register 5 = 0x0080 lights LED 1 only; 0x007F LEDs 2..8 only.
    auto lit = [](int reg, uint16_t value) {
        std::string pattern;
        for (const auto& ind : kIndicators)
            if (ind.reg == reg)
                pattern += (value >> ind.bit) & 1 ? '1' : '0';
        return pattern;
    };
    EXPECT_EQ(lit(5, 0x0080), "10000000");
    EXPECT_EQ(lit(5, 0x007F), "01111111");
    EXPECT_EQ(lit(5, 0xFF00), "00000000");
    EXPECT_EQ(lit(4, 0x0005), "1010");
    EXPECT_EQ(lit(4, 0xFFF0), "0000");
    EXPECT_TRUE(kIndicators[0].green);
    for (int i = 1; i < 12; ++i)
        EXPECT_FALSE(kIndicators[i].green) << kIndicators[i].control;
}

} // namespace
