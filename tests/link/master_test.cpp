// The master against a scripted relay on a pseudo-terminal: every way a reply
// can go wrong, the exact log it leaves, and that the line recovers at once.

#include "ExchangeLog.h"
#include "TCOMPort.h"
#include "TModBusDevice.h"
#include "support/FakeRelay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

const std::string kPollRequest = "Запрос: 01 03 00 00 00 2E C5 D6 ";

// The port as start-up configures it.
void Configure(TCOMPort& port, int totalTimeoutMs = 1000)
{
    ASSERT_TRUE(port.Open());
    port.Apply(LineSettings{.readTotalMs = totalTimeoutMs});
}

class MasterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Configure(port_);
        master_.SetPort(&port_);
        master_.SetAddress(1);
        master_.SetLog(&log_);
    }

    std::vector<std::string> TakeBodies()
    {
        std::vector<std::string> bodies;
        for (const auto& line : log_.Lines())
            bodies.push_back(Body(line));
        log_.Clear();
        return bodies;
    }

    // A good poll right after a fault must be accepted with the relay's
    // current values: nothing of the fault may linger on the line.
    void ExpectCleanPoll(const std::string& after)
    {
        std::vector<uint16_t> dest(46, 0xBEEF);
        EXPECT_TRUE(master_.ReadHoldingRegisters(dest.data(), 0, 46)) << "poll after " << after;
        EXPECT_EQ(dest, relay_.LastServed()) << "poll after " << after;
        const auto bodies = TakeBodies();
        ASSERT_EQ(bodies.size(), 2u) << after;
        EXPECT_EQ(bodies[0], kPollRequest);
        EXPECT_EQ(bodies[1].rfind("Ответ: ", 0), 0u) << after;
    }

    PtyPair pty_;
    FakeRelay relay_{pty_};
    TCOMPort port_{pty_.DevicePath()};
    ExchangeLog log_;
    TModBusDevice master_;
};

TEST_F(MasterTest, ReadHoldingRegistersCases)
{
    for (const auto& c : PollCases()) {
        SCOPED_TRACE(c.name);
        port_.SetReadTotalTimeout(c.totalTimeoutMs ? c.totalTimeoutMs : 1000);
        Bytes stream;
        relay_.Next([&](const Bytes& request, const Bytes& good) {
            Reply reply = c.script(request, good);
            stream = Concat(reply);
            return reply;
        });
        std::vector<uint16_t> dest(46, 0xBEEF);
        const bool ok = master_.ReadHoldingRegisters(dest.data(), 0, 46);
        relay_.WaitIdle();

        const auto bodies = TakeBodies();
        ASSERT_EQ(bodies.size(), 2u);
        EXPECT_EQ(bodies[0], kPollRequest);
        switch (c.outcome) {
        case Outcome::Accepted:
            EXPECT_TRUE(ok);
            EXPECT_EQ(dest, relay_.LastServed());
            EXPECT_EQ(bodies[1], "Ответ: " + HexText(std::span(stream).first(97)));
            break;
        case Outcome::Rejected:
            EXPECT_FALSE(ok);
            EXPECT_EQ(dest, std::vector<uint16_t>(46, 0xBEEF));
            EXPECT_EQ(bodies[1], "Ошибка CRC: " + HexText(std::span(stream).first(c.received)));
            break;
        case Outcome::NoReply:
            EXPECT_FALSE(ok);
            EXPECT_EQ(dest, std::vector<uint16_t>(46, 0xBEEF));
            EXPECT_EQ(bodies[1], "Таймаут ответа!");
            break;
        }
        port_.SetReadTotalTimeout(1000);
        ExpectCleanPoll(c.name);
    }
}

TEST_F(MasterTest, ShortReplyEndsOnTheGapNotTheWait)
{
    relay_.Next([](const Bytes&, const Bytes& g) { return Reply{{0, Bytes(g.begin(), g.begin() + 5)}}; });
    std::vector<uint16_t> dest(46);
    const auto start = Clock::now();
    EXPECT_FALSE(master_.ReadHoldingRegisters(dest.data(), 0, 46));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(90));
    EXPECT_LT(took, std::chrono::milliseconds(800));
}

struct CommandCase {
    const char* name;
    FakeRelay::Script script;
    std::string replyBody;  // "" for the relay's own echo as "Ответ"
};

TEST_F(MasterTest, WriteCoilCases)
{
    const std::vector<CommandCase> cases = {
        {"echo", [](const Bytes&, const Bytes& g) { return Reply{{0, g}}; },
         "Ответ: 01 05 00 01 FF 00 DD FA "},
        {"silence", [](const Bytes&, const Bytes&) { return Reply{}; }, "Таймаут ответа!"},
        {"bad CRC", [](const Bytes&, Bytes g) { g[7] ^= 1; return Reply{{0, g}}; },
         "Ошибка CRC: 01 05 00 01 FF 00 DD FB "},
        {"exception", [](const Bytes&, const Bytes&) { return Reply{{0, WithCrc(ParseHex("01 85 04"))}}; },
         "Ошибка CRC: " + HexText(WithCrc(ParseHex("01 85 04")))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relay_.Next(c.script);
        master_.WriteCoil(1, true);
        relay_.WaitIdle();
        const auto bodies = TakeBodies();
        ASSERT_EQ(bodies.size(), 2u);
        EXPECT_EQ(bodies[0], "Запрос: 01 05 00 01 FF 00 DD FA ");
        EXPECT_EQ(bodies[1], c.replyBody);
        ExpectCleanPoll(c.name);
    }
}

TEST_F(MasterTest, SendRawCases)
{
    const Bytes request = ParseHex("01 04 00 00 00 01");
    const Bytes reply = WithCrc(ParseHex("01 04 02 12 34"));
    Bytes corrupt = reply;
    corrupt[3] ^= 0xFF;
    const std::vector<CommandCase> cases = {
        {"no reply", [](const Bytes&, const Bytes&) { return Reply{}; }, "Таймаут ответа!"},
        {"one byte", [](const Bytes&, const Bytes&) { return Reply{{0, ParseHex("01")}}; }, "Таймаут ответа!"},
        {"good CRC", [&](const Bytes&, const Bytes&) { return Reply{{0, reply}}; }, "Ответ: " + HexText(reply)},
        {"bad CRC", [&](const Bytes&, const Bytes&) { return Reply{{0, corrupt}}; },
         "Ошибка CRC: " + HexText(corrupt)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relay_.Next(c.script);
        master_.SendRaw(request, true, 200);
        relay_.WaitIdle();
        const auto bodies = TakeBodies();
        ASSERT_EQ(bodies.size(), 2u);
        EXPECT_EQ(bodies[0], "Запрос: 01 04 00 00 00 01 31 CA ");
        EXPECT_EQ(bodies[1], c.replyBody);
        ExpectCleanPoll(c.name);
    }
    ASSERT_FALSE(relay_.Requests().empty());
    EXPECT_EQ(relay_.Requests().front(), ParseHex("01 04 00 00 00 01 31 CA"));
}

TEST_F(MasterTest, SendRawWithoutCrcSendsTheBytesUnchanged)
{
    master_.SendRaw(ParseHex("0A 0B 0C"), false, 100);
    relay_.WaitIdle();
    ASSERT_EQ(relay_.Requests().size(), 1u);
    EXPECT_EQ(relay_.Requests()[0], ParseHex("0A 0B 0C"));
    const auto bodies = TakeBodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], "Запрос: 0A 0B 0C ");
    EXPECT_EQ(bodies[1], "Таймаут ответа!");
}

TEST_F(MasterTest, HangUpFailsTheTransactionAndClosesThePort)
{
    relay_.Next([](const Bytes&, const Bytes&) { return Reply{{0, {}, true}}; });
    std::vector<uint16_t> dest(46, 7);
    const auto start = Clock::now();
    EXPECT_FALSE(master_.ReadHoldingRegisters(dest.data(), 0, 46));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(900)) << "a hangup is not a timeout";
    EXPECT_FALSE(port_.IsOpen());
    EXPECT_EQ(dest, std::vector<uint16_t>(46, 7));
    // Later transactions fail at once, with the closed-port log lines.
    EXPECT_FALSE(master_.ReadHoldingRegisters(dest.data(), 0, 46));
    const auto bodies = TakeBodies();
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[1], "Ошибка CRC: ");
    EXPECT_EQ(bodies[3], "Ошибка CRC: ");
}

TEST_F(MasterTest, SixtyFourKilobytesOfNoiseAreLoggedFailuresAndThenTheLineIsClean)
{
    Bytes noise(64 * 1024);
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<uint8_t>(i * 7 + 13);
    relay_.Next([&](const Bytes&, const Bytes&) { return Reply{{0, noise}}; });
    std::vector<uint16_t> dest(46, 0xBEEF);
    EXPECT_FALSE(master_.ReadHoldingRegisters(dest.data(), 0, 46));
    // More noise comes as fast as the line takes it; polls meanwhile fail,
    // each logged, none with a value taken from the noise.
    int polls = 1;
    while (!master_.ReadHoldingRegisters(dest.data(), 0, 46) && polls < 200) {
        EXPECT_EQ(dest, std::vector<uint16_t>(46, 0xBEEF));
        ++polls;
    }
    EXPECT_LT(polls, 200) << "the line never came clean";
    for (const auto& body : TakeBodies())
        EXPECT_TRUE(body.rfind("Запрос", 0) == 0 || body.rfind("Ошибка CRC", 0) == 0 || body.rfind("Ответ", 0) == 0
                    || body == "Таймаут ответа!") << body;
    relay_.WaitIdle();
    ExpectCleanPoll("noise");
}

TEST(MasterClosedPort, EveryTransactionLogsWithoutWaiting)
{
    TCOMPort port("/nonexistent/port");
    EXPECT_FALSE(port.Open());
    ExchangeLog log;
    TModBusDevice master;
    master.SetPort(&port);
    master.SetAddress(static_cast<uint8_t>(257));
    master.SetLog(&log);
    uint16_t dest[46] = {};
    const auto start = Clock::now();
    EXPECT_FALSE(master.ReadHoldingRegisters(dest, 0, 46));
    master.WriteCoil(0, true);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    master.SendRaw(ParseHex("01"), true, 50);
    std::vector<std::string> bodies;
    for (const auto& line : log.Lines())
        bodies.push_back(Body(line));
    const std::vector<std::string> expected = {
        kPollRequest, "Ошибка CRC: ",
        "Запрос: 01 05 00 00 FF 00 8C 3A ", "Ошибка CRC: ",
        "Запрос: 01 7E 80 ", "Таймаут ответа!",
    };
    EXPECT_EQ(bodies, expected);
}

} // namespace

namespace {

// An adapter pulled out and plugged back in: the line behind a stable name
// (a symbolic link here, as /dev/serial/by-id gives) goes away and comes
// back as another device.
TEST(MasterReconnect, PortOpensAgainBehindTheSameNameAtMostOnceASecond)
{
    const std::string link = std::filesystem::temp_directory_path() / ("zarit-replug-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    auto first = std::make_unique<PtyPair>();
    auto relay = std::make_unique<FakeRelay>(*first);
    std::filesystem::create_symlink(first->DevicePath(), link);

    TCOMPort port(link);
    LineSettings line;
    line.readTotalMs = 1000;
    ASSERT_TRUE(port.Open());
    port.Apply(line);
    port.KeepOpen(line);
    ExchangeLog log;
    TModBusDevice master;
    master.SetPort(&port);
    master.SetLog(&log);
    std::vector<uint16_t> dest(46);
    ASSERT_TRUE(master.ReadHoldingRegisters(dest.data(), 0, 46));

    relay->Next([](const Bytes&, const Bytes&) { return Reply{{0, {}, true}}; });
    EXPECT_FALSE(master.ReadHoldingRegisters(dest.data(), 0, 46));
    EXPECT_FALSE(port.IsOpen());
    relay.reset();
    first.reset();

    // Away: polls fail at once, and the device is not reopened on each.
    std::filesystem::remove(link);
    const auto away = Clock::now();
    int polls = 0;
    while (Clock::now() - away < std::chrono::milliseconds(500)) {
        EXPECT_FALSE(master.ReadHoldingRegisters(dest.data(), 0, 46));
        ++polls;
    }
    EXPECT_GT(polls, 10);

    // Back as another device behind the same name, with the link's settings.
    PtyPair second;
    FakeRelay relay2(second);
    std::filesystem::create_symlink(second.DevicePath(), link);
    const auto back = Clock::now();
    bool recovered = false;
    while (!recovered && Clock::now() - back < std::chrono::seconds(15)) {
        recovered = master.ReadHoldingRegisters(dest.data(), 0, 46);
        if (!recovered)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(recovered);
    // Wherever the last attempt fell, the next is due within a second (plus
    // a 20 ms nap and a poll); five times that leaves room for a loaded
    // machine and still tells a retry once a second from a far rarer one.
    EXPECT_LT(Clock::now() - back, std::chrono::seconds(6));
    EXPECT_EQ(dest, relay2.LastServed());
    termios t = second.Settings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    std::filesystem::remove(link);
}

TEST(MasterReconnect, PortThatNeverOpenedIsTakenUpWhenItAppears)
{
    const std::string link = std::filesystem::temp_directory_path() / ("zarit-late-" + std::to_string(::getpid()));
    std::filesystem::remove(link);
    TCOMPort port(link);
    EXPECT_FALSE(port.Open());
    port.KeepOpen(LineSettings{});
    EXPECT_FALSE(port.EnsureOpen()) << "not again within the second";
    PtyPair pty;
    std::filesystem::create_symlink(pty.DevicePath(), link);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    EXPECT_TRUE(port.EnsureOpen());
    EXPECT_TRUE(port.IsOpen());
    std::filesystem::remove(link);
}

} // namespace
