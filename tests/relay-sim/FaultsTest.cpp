#include "Faults.h"

#include "ModbusFrame.h"

#include <gtest/gtest.h>

namespace {

using namespace relaysim;
using namespace std::chrono_literals;

TEST(SimPacing, ReplyWaitsForRequestSilenceAndReply)
{
    struct Case {
        std::size_t request, reply;
        uint32_t speed;
        std::chrono::microseconds expected;
    };
    const Case cases[] = {
        {8, 97, 9600, 113021us},  // a 46-register poll
        {8, 97, 38400, 28255us},
        {8, 8, 9600, 20313us},    // a coil write
        {8, 5, 19200, 8594us},    // an exception
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.speed);
        EXPECT_NEAR(ReplyDelay(c.request, c.reply, c.speed).count(), c.expected.count(), 1);
    }
    EXPECT_EQ(WireTime(1, 0), 0us) << "no division by zero";
}

std::vector<bool> Hits(FaultPicker& picker, bool FaultDecision::*which, int n)
{
    std::vector<bool> hits;
    for (int i = 0; i < n; ++i)
        hits.push_back(picker.Next().*which);
    return hits;
}

TEST(SimFaultPicker, EveryNthCountsRepliesPerFault)
{
    FaultOptions options;
    options.drop = {FaultRate::Kind::EveryNth, 0, 3};
    options.stray = {FaultRate::Kind::EveryNth, 0, 2};
    options.exception = {FaultRate::Kind::EveryNth, 0, 1};
    FaultPicker picker(options);
    std::vector<FaultDecision> decisions;
    for (int i = 0; i < 6; ++i)
        decisions.push_back(picker.Next());
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(decisions[i].drop, (i + 1) % 3 == 0);
        EXPECT_EQ(decisions[i].stray, (i + 1) % 2 == 0);
        EXPECT_TRUE(decisions[i].exception);
        EXPECT_FALSE(decisions[i].badCrc);
        EXPECT_FALSE(decisions[i].late);
    }
}

TEST(SimFaultPicker, RandomShareIsNearItsValueAndFollowsTheSeed)
{
    struct Case {
        double share;
        int low, high;  // hits out of 4000
    };
    for (const Case c : {Case{0.25, 850, 1150}, Case{1.0, 4000, 4000}, Case{0.001, 0, 20}}) {
        SCOPED_TRACE(c.share);
        FaultOptions options;
        options.badCrc = {FaultRate::Kind::Share, c.share, 0};
        options.seed = 7;
        FaultPicker a(options);
        FaultPicker b(options);
        const auto hitsA = Hits(a, &FaultDecision::badCrc, 4000);
        EXPECT_EQ(hitsA, Hits(b, &FaultDecision::badCrc, 4000));
        const auto count = std::count(hitsA.begin(), hitsA.end(), true);
        EXPECT_GE(count, c.low);
        EXPECT_LE(count, c.high);
    }
    FaultOptions options;
    options.late = {FaultRate::Kind::Share, 0.5, 0};
    options.seed = 1;
    FaultPicker one(options);
    options.seed = 2;
    FaultPicker two(options);
    EXPECT_NE(Hits(one, &FaultDecision::late, 64), Hits(two, &FaultDecision::late, 64));
}

TEST(SimFaultPicker, NothingByDefault)
{
    FaultPicker picker{FaultOptions{}};
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(picker.Next(), FaultDecision{});
}

const std::vector<uint8_t> kEcho = {0x01, 0x05, 0x00, 0x02, 0xFF, 0x00, 0x2D, 0xFA};

TEST(SimShapeReply, ByteFaults)
{
    ASSERT_TRUE(modbus::TrailingCrcMatches(kEcho));
    struct Case {
        const char* name;
        FaultDecision fault;
        std::size_t size;
        std::size_t offset;  // where the reply's first byte went
        bool crcValid;
    };
    const Case cases[] = {
        {"none", {}, 8, 0, true},
        {"bad CRC", {.badCrc = true}, 8, 0, false},
        {"stray", {.stray = true}, 9, 1, true},
        {"stray and bad CRC", {.badCrc = true, .stray = true}, 9, 1, false},
        {"late and exception are not byte faults", {.late = true, .exception = true}, 8, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto shaped = ShapeReply(kEcho, c.fault);
        ASSERT_EQ(shaped.size(), c.size);
        if (c.offset) {
            EXPECT_EQ(shaped.front(), kStrayByte);
        }
        const std::vector<uint8_t> frame(shaped.begin() + static_cast<long>(c.offset),
                                         shaped.end());
        EXPECT_EQ(modbus::TrailingCrcMatches(frame), c.crcValid);
        EXPECT_TRUE(std::equal(kEcho.begin(), kEcho.end() - 2, frame.begin()))
            << "only the CRC may change";
    }
    EXPECT_TRUE(ShapeReply(kEcho, {.drop = true, .badCrc = true}).empty());
}

} // namespace
