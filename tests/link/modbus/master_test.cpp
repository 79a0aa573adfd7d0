// The master on a pseudo-terminal, in what only the POSIX build can stage: a
// hang-up, a flood of noise, a port that is not there, and an adapter that
// goes away and comes back. The cases every platform runs are in
// contract/master_contract_test.cpp.

#include "ExchangeLog.h"
#include "TCOMPort.h"
#include "TModBusDevice.h"
#include "contract/MasterContract.h"
#include "support/FakeRelay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

using namespace testing_support;
using contract::kPollRequest;
using contract::MasterTest;
using Clock = std::chrono::steady_clock;

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

// Before any poll has shown whether the line echoes, a coil write's own
// echo is a perfect reply. At 1200 bit/s the request takes 67 ms on the
// wire and no relay's reply can be complete before 163 ms: a copy in
// between may be the line's, and what follows it within a reply's time is
// the relay's.
TEST_F(MasterTest, CoilWriteBeforeTheEchoIsKnownTakesTheRelaysCopy)
{
    master_.SetLineSpeed(1200);
    const Bytes coil = ParseHex("01 05 00 00 FF 00 8C 3A");
    relay_.Next([](const Bytes& r, const Bytes&) { return Reply{{70, r}}; });
    master_.WriteCoil(0, true);
    relay_.WaitIdle();
    EXPECT_EQ(TakeBodies().back(), "Ответ: " + HexText(coil)) << "one copy: a relay's, or a dead relay's echo";
    EXPECT_EQ(master_.LastOutcome(), TModBusDevice::Outcome::Answered);
    const Bytes exception = WithCrc(ParseHex("01 85 04"));
    relay_.Next([&](const Bytes& r, const Bytes&) { return Reply{{70, r}, {30, exception}}; });
    master_.WriteCoil(0, true);
    relay_.WaitIdle();
    EXPECT_EQ(TakeBodies().back(), "Ошибка CRC: " + HexText(exception));
    EXPECT_TRUE(master_.LastRejectedException());
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
