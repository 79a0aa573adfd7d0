#include "Options.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

namespace {

using relaysim::FaultRate;
using relaysim::Options;
using relaysim::ParseOptions;
using relaysim::ParseResult;
using relaysim::TcpAddress;
using namespace std::chrono_literals;

ParseResult Parse(std::vector<std::string_view> args)
{
    return ParseOptions(args, "/tmp/zarit-relay");
}

FaultRate Every(unsigned n)
{
    return {FaultRate::Kind::EveryNth, 0, n};
}

FaultRate Share(double share)
{
    return {FaultRate::Kind::Share, share, 0};
}

TEST(SimOptions, DefaultsLeaveEveryFaultOff)
{
    const auto parsed = Parse({});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const Options& o = *parsed.options;
    EXPECT_EQ(o.linkPath, "/tmp/zarit-relay");
    EXPECT_FALSE(o.tcp) << "a pseudo-terminal unless asked";
    EXPECT_EQ(o.address, 1);
    EXPECT_EQ(o.speed, 9600u);
    EXPECT_FALSE(o.faultAt);
    for (const FaultRate* rate : {&o.faults.drop, &o.faults.badCrc, &o.faults.stray,
                                  &o.faults.late, &o.faults.exception})
        EXPECT_EQ(*rate, FaultRate{});
}

TEST(SimOptions, AcceptedForms)
{
    struct Case {
        std::vector<std::string_view> args;
        std::function<void(const Options&)> check;
    };
    const Case cases[] = {
        {{"-l", "/run/relay"}, [](const Options& o) { EXPECT_EQ(o.linkPath, "/run/relay"); }},
        {{"--link=/x/y"}, [](const Options& o) { EXPECT_EQ(o.linkPath, "/x/y"); }},
        {{"--tcp", "127.0.0.1:502"},
         [](const Options& o) { EXPECT_EQ(o.tcp, (TcpAddress{"127.0.0.1", 502})); }},
        {{"--tcp=[::1]:0"}, [](const Options& o) { EXPECT_EQ(o.tcp, (TcpAddress{"::1", 0})); }},
        {{"--tcp", "localhost:65535"},
         [](const Options& o) { EXPECT_EQ(o.tcp, (TcpAddress{"127.0.0.1", 65535})); }},
        {{"--address", "247", "--load", "3"},
         [](const Options& o) {
             EXPECT_EQ(o.address, 247);
             ASSERT_EQ(o.units.size(), 1u);
             EXPECT_EQ(o.units[0].address, 247);
             EXPECT_EQ(o.units[0].loadCentiamps, 300);
         }},
        {{"--units", "5,1,247", "--seed", "7"},
         [](const Options& o) {
             EXPECT_EQ(o.unitAddresses, (std::vector<uint8_t>{5, 1, 247}));
             ASSERT_EQ(o.units.size(), 3u);
             for (std::size_t i = 0; i < 3; ++i) {
                 EXPECT_EQ(o.units[i].address, o.unitAddresses[i]);
                 EXPECT_EQ(o.units[i].faults.seed, 7 + i) << "each relay its own noise";
             }
             EXPECT_GT(o.units[0].loadCentiamps, o.units[1].loadCentiamps);
             EXPECT_GT(o.units[1].loadCentiamps, o.units[2].loadCentiamps);
         }},
        // An ADDRESS: value wins for its relay wherever it stands; the
        // others keep the value for all.
        {{"--drop", "2:1/3", "--drop", "0.5", "--late", "2:200", "--units", "1,2"},
         [](const Options& o) {
             ASSERT_EQ(o.units.size(), 2u);
             EXPECT_EQ(o.units[0].faults.drop, Share(0.5));
             EXPECT_EQ(o.units[1].faults.drop, Every(3));
             EXPECT_EQ(o.units[0].faults.late, FaultRate{});
             EXPECT_EQ(o.units[1].faults.lateMs, 200u);
             EXPECT_EQ(o.units[1].faults.late, Every(1));
         }},
        {{"--units", "1,2,3", "--fault-at", "30", "--fault-at", "3:1.5"},
         [](const Options& o) {
             ASSERT_EQ(o.units.size(), 3u);
             EXPECT_EQ(o.units[0].faultAt, 30000ms) << "without an address: the first relay";
             EXPECT_FALSE(o.units[1].faultAt);
             EXPECT_EQ(o.units[2].faultAt, 1500ms);
         }},
        {{"--set", "5:7=1000", "--set", "7=900", "--units", "5,6"},
         [](const Options& o) {
             using P = std::pair<uint16_t, uint16_t>;
             ASSERT_EQ(o.units.size(), 2u);
             EXPECT_EQ(o.units[0].setpoints, (std::vector<P>{{7, 900}, {7, 1000}}));
             EXPECT_EQ(o.units[1].setpoints, (std::vector<P>{{7, 900}}));
         }},
        {{"--exception", "1:4,1/2"},
         [](const Options& o) {
             ASSERT_EQ(o.units.size(), 1u);
             EXPECT_EQ(o.units[0].faults.exceptionCode, 4);
             EXPECT_EQ(o.units[0].faults.exception, Every(2));
         }},
        {{"--speed=38400"}, [](const Options& o) { EXPECT_EQ(o.speed, 38400u); }},
        {{"-s", "19200"}, [](const Options& o) { EXPECT_EQ(o.speed, 19200u); }},
        {{"--load", "3.7"}, [](const Options& o) { EXPECT_EQ(o.loadCentiamps, 370); }},
        {{"--load", "0.015"}, [](const Options& o) { EXPECT_EQ(o.loadCentiamps, 2); }},
        {{"--noise", "0"}, [](const Options& o) { EXPECT_EQ(o.noisePercent, 0); }},
        {{"--input-hold", "0"}, [](const Options& o) { EXPECT_EQ(o.inputHold, 0ms); }},
        {{"--fault-at", "1.25"}, [](const Options& o) { EXPECT_EQ(o.faultAt, 1250ms); }},
        {{"--set", "7=1000", "--set", "42=1"},
         [](const Options& o) {
             using P = std::pair<uint16_t, uint16_t>;
             EXPECT_EQ(o.setpoints, (std::vector<P>{{7, 1000}, {42, 1}}));
         }},
        {{"--drop", "1/3"}, [](const Options& o) { EXPECT_EQ(o.faults.drop, Every(3)); }},
        {{"--drop", "0"}, [](const Options& o) { EXPECT_EQ(o.faults.drop, FaultRate{}); }},
        {{"--bad-crc", "0.25"}, [](const Options& o) { EXPECT_EQ(o.faults.badCrc, Share(0.25)); }},
        {{"--stray", "1"}, [](const Options& o) { EXPECT_EQ(o.faults.stray, Share(1)); }},
        {{"--late", "1500"},
         [](const Options& o) {
             EXPECT_EQ(o.faults.lateMs, 1500u);
             EXPECT_EQ(o.faults.late, Every(1));
         }},
        {{"--late=200,1/4"},
         [](const Options& o) {
             EXPECT_EQ(o.faults.lateMs, 200u);
             EXPECT_EQ(o.faults.late, Every(4));
         }},
        {{"--exception", "4,0.5"},
         [](const Options& o) {
             EXPECT_EQ(o.faults.exceptionCode, 4);
             EXPECT_EQ(o.faults.exception, Share(0.5));
         }},
        {{"--seed", "42"}, [](const Options& o) { EXPECT_EQ(o.faults.seed, 42u); }},
        {{"-v", "--print-registers"},
         [](const Options& o) {
             EXPECT_TRUE(o.verbose);
             EXPECT_TRUE(o.printRegisters);
         }},
        {{"-h"}, [](const Options& o) { EXPECT_TRUE(o.help); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args.front()));
        const auto parsed = Parse(c.args);
        ASSERT_TRUE(parsed.options) << parsed.error;
        c.check(*parsed.options);
    }
}

TEST(SimOptions, RejectedWithTheOptionNamed)
{
    std::string kTooManyUnits = "1";
    for (int address = 2; address <= 33; ++address)
        kTooManyUnits += "," + std::to_string(address);
    struct Case {
        std::vector<std::string_view> args;
        std::string_view named;
    };
    const Case cases[] = {
        {{"--address", "248"}, "--address"},
        {{"--address", "1x"}, "--address"},
        {{"--units", "1,2,1"}, "--units"},
        {{"--units", "0"}, "--units"},
        {{"--units", "1,248"}, "--units"},
        {{"--units", "1,,2"}, "--units"},
        {{"--units", ""}, "--units"},
        {{"--units", kTooManyUnits}, "--units"},
        {{"--units", "1,2", "--address", "3"}, "--address"},
        {{"--drop", "x:1/3"}, "--drop"},
        {{"--drop", "0:1/3"}, "--drop"},
        {{"--bad-crc", ":1"}, "--bad-crc"},
        {{"--fault-at", "2:"}, "--fault-at"},
        {{"--set", "1:43=1"}, "--set"},
        {{"--stray", "3:1", "--units", "1,2"}, "--stray"},
        {{"--load", "1:3"}, "--load"},
        {{"--address"}, "--address"},
        {{"--speed", "115200"}, "--speed"},
        {{"--load", "655.36"}, "--load"},
        {{"--load", "1e3"}, "--load"},
        {{"--noise", "51"}, "--noise"},
        {{"--fault-at", "soon"}, "--fault-at"},
        {{"--input-hold", "60001"}, "--input-hold"},
        {{"--set", "43=1"}, "--set"},
        {{"--set", "7"}, "--set"},
        {{"--set", "7=65536"}, "--set"},
        {{"--drop", "1.5"}, "--drop"},
        {{"--drop", "1/0"}, "--drop"},
        {{"--drop", "2/3"}, "--drop"},
        {{"--late", "0"}, "--late"},
        {{"--late", "100,"}, "--late"},
        {{"--exception", "12"}, "--exception"},
        {{"--verbose=yes"}, "--verbose"},
        {{"--nonsense"}, "--nonsense"},
        {{"-x"}, "-x"},
        {{"extra"}, "extra"},
        {{"--link", ""}, "--link"},
        {{"--tcp", "192.168.1.10:502"}, "--tcp"},
        {{"--tcp", "0.0.0.0:502"}, "--tcp"},
        {{"--tcp", "127.0.0.2:502"}, "--tcp"},
        {{"--tcp", "::1:502"}, "--tcp"},
        {{"--tcp", "127.0.0.1"}, "--tcp"},
        {{"--tcp", "[::1]"}, "--tcp"},
        {{"--tcp", "localhost:"}, "--tcp"},
        {{"--tcp", ":502"}, "--tcp"},
        {{"--tcp", "127.0.0.1:65536"}, "--tcp"},
        {{"--tcp", "127.0.0.1:50x"}, "--tcp"},
        {{"--tcp", "127.0.0.1:0", "--link", "/tmp/relay"}, "--link"},
        {{"--link", "/tmp/relay", "--tcp", "127.0.0.1:0"}, "--tcp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args.front()) + " "
                     + std::string(c.args.size() > 1 ? c.args[1] : ""));
        const auto parsed = Parse(c.args);
        EXPECT_FALSE(parsed.options);
        EXPECT_NE(parsed.error.find(c.named), std::string::npos) << parsed.error;
    }
}

TEST(SimOptions, DefaultLinkInTheTemporaryFolder)
{
    EXPECT_EQ(relaysim::DefaultLinkPath(nullptr), "/tmp/zarit-relay");
    EXPECT_EQ(relaysim::DefaultLinkPath(""), "/tmp/zarit-relay");
    EXPECT_EQ(relaysim::DefaultLinkPath("/var/tmp"), "/var/tmp/zarit-relay");
    EXPECT_EQ(relaysim::DefaultLinkPath("/var/tmp//"), "/var/tmp/zarit-relay");
    EXPECT_EQ(relaysim::DefaultLinkPath("/"), "/zarit-relay");
}

// Every option the help names must be one the parser knows, and the help
// must show the default link it was given.
TEST(SimOptions, HelpNamesOnlyRealOptions)
{
    const std::string help = relaysim::HelpText("/somewhere/zarit-relay");
    EXPECT_NE(help.find("/somewhere/zarit-relay"), std::string::npos);
    const std::regex option("--[a-z-]+");
    int named = 0;
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
         it != std::sregex_iterator(); ++it) {
        const std::string name = it->str();
        const auto parsed = Parse({name, "1"});
        EXPECT_EQ(parsed.error.find("unknown option"), std::string::npos) << name;
        ++named;
    }
    EXPECT_GE(named, 18);
}

} // namespace
