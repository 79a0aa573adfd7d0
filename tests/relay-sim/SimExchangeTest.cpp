// Our master against the simulator: what it reads, what its commands do, and
// what it logs for each injected fault.

#include "SimMaster.h"
#include "SimProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kExact = {"--noise", "0", "--speed", "38400"};

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::unique_ptr<SimProcess> Start(const std::vector<std::string>& options, bool keys = false)
{
    auto sim = std::make_unique<SimProcess>(options, keys);
    EXPECT_TRUE(sim->WaitForLink()) << sim->Output();
    return sim;
}

void ExpectCleanStop(SimProcess& sim)
{
    const auto exit = sim.Stop(SIGTERM);
    EXPECT_TRUE(exit.exited) << sim.Output();
    EXPECT_EQ(exit.status, 0) << sim.Output();
}

RegisterValues Served(const std::vector<std::string>& options)
{
    const auto [code, text] = SimProcess::RunToEnd(Plus({"--print-registers"}, options));
    EXPECT_EQ(code, 0) << text;
    const auto values = ParsePrintedRegisters(text);
    EXPECT_TRUE(values.has_value()) << text;
    return values.value_or(RegisterValues{});
}

// The high byte of the CRC inverted, as --bad-crc sends it.
std::vector<uint8_t> WithBadCrc(std::vector<uint8_t> frame)
{
    if (!frame.empty())
        frame.back() = static_cast<uint8_t>(~frame.back());
    return frame;
}

const std::string kReadRequest = "Запрос: 01 03 00 00 00 2E C5 D6 ";

TEST(SimExchange, ReadsWhatTheSimulatorSaysItServes)
{
    const std::vector<std::string> options = {"--noise", "0", "--load", "3.70", "--address",
                                              "5", "--speed", "19200", "--set", "13=4",
                                              "--set", "28=80"};
    const RegisterValues printed = Served(options);
    EXPECT_EQ(printed[0], 370);
    EXPECT_EQ(printed[13], 4);
    EXPECT_EQ(printed[28], 80);
    EXPECT_EQ(printed[43], 5);
    EXPECT_EQ(printed[44], 1);  // 19200

    auto sim = Start(options);
    SimMaster master(sim->Link(), 19200, 5);
    ASSERT_TRUE(master.opened);
    const auto read = master.Read();
    ASSERT_TRUE(read.has_value()) << master.LastLine();
    EXPECT_EQ(*read, printed);
    EXPECT_EQ(master.LastLine(), "Ответ: " + HexText(ReadReply(5, printed)));
    ExpectCleanStop(*sim);
}

TEST(SimExchange, AddressAndSpeedCodeFollowTheOptions)
{
    struct Case {
        uint8_t address;
        int32_t speed;
        uint16_t code;
    };
    for (const Case c : {Case{1, 9600, 0}, Case{17, 19200, 1}, Case{247, 38400, 2}}) {
        SCOPED_TRACE(c.speed);
        auto sim = Start({"--address", std::to_string(c.address), "--speed",
                          std::to_string(c.speed)});
        SimMaster master(sim->Link(), c.speed, c.address);
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value()) << master.LastLine();
        EXPECT_EQ((*read)[43], c.address);
        EXPECT_EQ((*read)[44], c.code);
        ExpectCleanStop(*sim);
    }
}

TEST(SimExchange, CurrentsCarryNoiseAroundTheLoad)
{
    auto sim = Start({"--noise", "2", "--load", "5.00", "--speed", "38400"});
    SimMaster master(sim->Link());
    std::vector<uint16_t> phaseA;
    for (int i = 0; i < 6; ++i) {
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value()) << master.LastLine();
        for (int phase = 0; phase < 3; ++phase) {
            EXPECT_GE((*read)[phase], 490);
            EXPECT_LE((*read)[phase], 510);
        }
        EXPECT_EQ((*read)[5], 0x80) << "only the healthy LED";
        phaseA.push_back((*read)[0]);
    }
    EXPECT_NE(std::count(phaseA.begin(), phaseA.end(), phaseA.front()), 6)
        << "six identical readings: no noise";
    ExpectCleanStop(*sim);
}

// Polls until the trip LEDs light, checking every reading on the way. The
// slowest trip comes under a second after the call.
RegisterValues PollUntilTrip(SimMaster& master, uint16_t load, uint16_t fault)
{
    const auto deadline = Clock::now() + 8s;
    while (Clock::now() < deadline) {
        const auto read = master.Read();
        EXPECT_TRUE(read.has_value()) << master.LastLine();
        if (!read)
            break;
        if ((*read)[5] != 0x80)
            return *read;
        EXPECT_TRUE((*read)[0] == load || (*read)[0] == fault) << (*read)[0];
        EXPECT_EQ((*read)[45], 0);
        std::this_thread::sleep_for(20ms);
    }
    ADD_FAILURE() << "no trip within 8 s";
    return {};
}

TEST(SimExchange, TripThenAcknowledge)
{
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string keys;
        uint16_t fault;
        uint16_t leds;
        std::chrono::milliseconds earliest;  // after start
    };
    const Case cases[] = {
        {"МТЗ from --fault-at", {"--fault-at", "0.2"}, "", 1000, 0x81, 700ms},
        {"МТЗ from the f key", {}, "f\n", 1000, 0x81, 500ms},
        {"ТО1 above its setpoint", {"--fault-at", "0.1"}, "", 3000, 0x82, 200ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> fault = {"--fault-current", std::to_string(c.fault / 100)};
        auto sim = Start(Plus(Plus(kExact, c.options), fault), !c.keys.empty());
        SimMaster master(sim->Link());
        sim->SendKeys(c.keys);

        const RegisterValues tripped = PollUntilTrip(master, 250, c.fault);
        EXPECT_GE(Clock::now() - sim->Started(), c.earliest);
        EXPECT_EQ(tripped[5], c.leds);
        EXPECT_EQ(tripped[45], c.fault);
        EXPECT_EQ(tripped[0], 0) << "breaker open";

        std::this_thread::sleep_for(100ms);
        const auto still = master.Read();
        ASSERT_TRUE(still.has_value());
        EXPECT_EQ((*still)[5], c.leds) << "trip LEDs stay lit until acknowledged";

        master.device.WriteCoil(0, true);
        EXPECT_EQ(master.LastLine(), "Ответ: " + HexText(WithCrc({1, 5, 0, 0, 0xFF, 0})));
        const auto after = master.Read();
        ASSERT_TRUE(after.has_value());
        EXPECT_EQ((*after)[5], 0x80);
        EXPECT_EQ((*after)[45], c.fault) << "the last trip's current is kept";
        EXPECT_EQ((*after)[0], 250) << "load back after the breaker closed";
        ExpectCleanStop(*sim);
    }
}

TEST(SimExchange, OutputRelaysShowAsDiscreteInputs)
{
    // The four OFF writes and the read after them take some 50 ms: a hold
    // of many times that is sure to be polled.
    constexpr auto kHold = 1000ms;
    auto sim = Start(Plus(kExact, {"--input-hold", std::to_string(kHold.count())}));
    SimMaster master(sim->Link());
    for (uint8_t coil = 1; coil <= 4; ++coil) {
        SCOPED_TRACE(int(coil));
        master.device.WriteCoil(coil, true);
        EXPECT_EQ(master.LastLine(), "Ответ: " + HexText(WithCrc({1, 5, 0, coil, 0xFF, 0})));
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ((*read)[4], (1u << coil) - 1);
    }
    const auto offFrom = Clock::now();
    for (uint8_t coil = 1; coil <= 4; ++coil) {
        master.device.WriteCoil(coil, false);
        EXPECT_EQ(master.LastLine(), "Ответ: " + HexText(WithCrc({1, 5, 0, coil, 0, 0})));
    }
    auto read = master.Read();
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ((*read)[4], 0xF) << "the pulse must outlast the OFF long enough to be polled";

    // Then they drop, but not before the hold has run from the first OFF.
    while ((*read)[4] != 0 && Clock::now() - offFrom < kHold + 10s) {
        std::this_thread::sleep_for(20ms);
        read = master.Read();
        ASSERT_TRUE(read.has_value());
    }
    EXPECT_EQ((*read)[4], 0);
    EXPECT_GE(Clock::now() - offFrom, kHold) << "dropped before the hold ran out";
    ExpectCleanStop(*sim);
}

TEST(SimExchange, RawRequests)
{
    auto sim = Start(kExact);
    SimMaster master(sim->Link());
    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        std::vector<uint8_t> reply;
    };
    const Case cases[] = {
        {"register beyond the map", {1, 3, 0, 100, 0, 1}, WithCrc({1, 0x83, 0x02})},
        {"coil beyond RL4", {1, 5, 0, 5, 0xFF, 0}, WithCrc({1, 0x85, 0x02})},
        {"setpoint write", {1, 6, 0, 7, 0x03, 0xE8}, WithCrc({1, 6, 0, 7, 0x03, 0xE8})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        master.device.SendRaw(c.request, true, 200);
        EXPECT_EQ(master.LastLine(), "Ответ: " + HexText(c.reply));
    }
    // Broken frames are ignored, and the relay keeps serving.
    master.device.SendRaw(std::vector<uint8_t>{1, 3, 0, 0}, false, 200);
    EXPECT_EQ(master.LastLine(), "Таймаут ответа!");
    master.device.SendRaw(std::vector<uint8_t>{1, 3, 0, 0, 0, 1, 0x12, 0x34}, false, 200);
    EXPECT_EQ(master.LastLine(), "Таймаут ответа!");

    // A broadcast is obeyed but never answered.
    master.device.SendRaw(std::vector<uint8_t>{0, 5, 0, 3, 0xFF, 0}, true, 200);
    EXPECT_EQ(master.LastLine(), "Таймаут ответа!");

    const auto read = master.Read();
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ((*read)[7], 1000) << "the written МТЗ setpoint is served";
    EXPECT_EQ((*read)[4], 0x4) << "the broadcast switched RL3 on";
    ExpectCleanStop(*sim);
}

TEST(SimExchange, OtherAddressesGetNoReply)
{
    auto sim = Start(Plus(kExact, {"--address", "2"}));
    SimMaster stranger(sim->Link(), 38400, 1);
    EXPECT_FALSE(stranger.Read().has_value());
    EXPECT_EQ(stranger.Lines(), (std::vector<std::string>{kReadRequest, "Таймаут ответа!"}));
    stranger.port.Close();

    SimMaster owner(sim->Link(), 38400, 2);
    EXPECT_TRUE(owner.Read().has_value()) << owner.LastLine();
    ExpectCleanStop(*sim);
}

// Relays at 1, 2 and 5 on one line, one master switching between them.
TEST(SimExchange, SeveralRelaysOnOneLine)
{
    auto sim = Start(Plus(kExact, {"--units", "1,2,5"}), true);
    SimMaster master(sim->Link());
    std::set<uint16_t> currents;
    for (const uint8_t address : {1, 2, 5}) {
        SCOPED_TRACE(int(address));
        master.device.SetAddress(address);
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value()) << master.LastLine();
        EXPECT_EQ((*read)[43], address);
        currents.insert((*read)[0]);
    }
    EXPECT_EQ(currents.size(), 3u) << "the relays serve one current";

    // Nothing at all for an address no relay has: no reply, no exception.
    master.device.SetAddress(3);
    EXPECT_FALSE(master.Read().has_value());
    const auto lines = master.Lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"Запрос: " + HexText(WithCrc({3, 3, 0, 0, 0, 46})),
                                        "Таймаут ответа!"}));

    master.device.SetAddress(2);
    master.device.WriteCoil(1, true);
    EXPECT_EQ(master.LastLine(), "Ответ: " + HexText(WithCrc({2, 5, 0, 1, 0xFF, 0})));
    EXPECT_TRUE(sim->WaitForOutput("address 2: RL1 on")) << sim->Output();
    EXPECT_EQ(sim->Output().find("address 1: RL1"), std::string::npos) << sim->Output();
    for (const auto& [address, inputs] : {std::pair{2, 1}, std::pair{1, 0}}) {
        master.device.SetAddress(static_cast<uint8_t>(address));
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value()) << master.LastLine();
        EXPECT_EQ((*read)[4], inputs) << "discrete inputs at " << address;
    }

    // A setpoint changed at relay 5's front panel, relay 1's left as it was.
    sim->SendKeys("5s7=600\n");
    EXPECT_TRUE(sim->WaitForOutput("address 5: setpoint 7 = 600")) << sim->Output();
    for (const auto& [address, changed] : {std::pair{5, true}, std::pair{1, false}}) {
        master.device.SetAddress(static_cast<uint8_t>(address));
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value()) << master.LastLine();
        EXPECT_EQ((*read)[7] == 600, changed) << "register 7 at " << address;
    }
    ExpectCleanStop(*sim);
}

// The poll thread on a line where one listed relay never answers: the one
// there is polled every round into its own image, the silent one no more
// than every tenth round once three rounds went by without it, and the
// commands' address stays the window's.
TEST(SimExchange, PollThreadTakesEachRelayInTurnAndASilentOneRarely)
{
    auto sim = Start(Plus(kExact, {"--units", "5"}));
    DeviceLink link({.portName = sim->Link(), .speed = 38400, .responseTimeoutMs = 200, .address = 9,
                     .pollIntervalMs = 0, .relays = {9, 5}});
    TDeviceControl& control = link.Poller();
    control.StartPolling();
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (control.Stats(0).polls < 5 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    control.StopPolling();

    const PollStats silent = control.Stats(0), there = control.Stats(1);
    ASSERT_GE(silent.polls, 5u) << "polled still, if rarely";
    EXPECT_TRUE(silent.rare);
    EXPECT_FALSE(there.rare);
    EXPECT_EQ(silent.answered, 0u);
    EXPECT_EQ(there.answered, there.polls);
    EXPECT_GE(there.polls, 3 + TDeviceControl::kRareEvery * (silent.polls - 3) - 1);
    EXPECT_EQ(control.GetRegister(43, 1), 5);
    for (uint16_t i = 0; i < 46; ++i)
        EXPECT_EQ(control.GetRegister(i, 0), 0) << i;
    EXPECT_EQ(link.Master().Address(), 9);
    const std::vector<PollSample> samples = control.TakeSamples();
    ASSERT_EQ(samples.size(), silent.polls + there.polls);
    for (const PollSample& sample : samples)
        EXPECT_EQ(sample.answered, sample.unit == 1);
}

TEST(SimExchange, EachFaultGivesItsLogLine)
{
    const std::vector<uint8_t> good = ReadReply(1, Served(kExact));
    auto stray = good;
    stray.insert(stray.begin(), 0x00);
    stray.pop_back();  // the master reads only as many bytes as it expects

    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> results;  // one per read, after its request line
    };
    const Case cases[] = {
        {{"--drop", "1/1"}, {"Таймаут ответа!"}},
        {{"--drop", "1/2"}, {"Ответ: " + HexText(good), "Таймаут ответа!", "Ответ: " + HexText(good)}},
        {{"--bad-crc", "1"}, {"Ошибка CRC: " + HexText(WithBadCrc(good))}},
        {{"--stray", "1/1"}, {"Ошибка CRC: " + HexText(stray)}},
        {{"--exception", "4"}, {"Ошибка CRC: 01 83 04 40 F3 "}},
        // Later than the 100 ms gap, and well within the master's 1000 ms wait.
        {{"--late", "150"}, {"Ответ: " + HexText(good)}},
        {{"--late", "1300"}, {"Таймаут ответа!"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.front() + " " + c.options.back());
        auto sim = Start(Plus(kExact, c.options));
        SimMaster master(sim->Link());
        std::vector<std::string> expected;
        for (const auto& result : c.results) {
            master.Read();
            expected.push_back(kReadRequest);
            expected.push_back(result);
        }
        EXPECT_EQ(master.Lines(), expected);
        ExpectCleanStop(*sim);
    }
}

TEST(SimExchange, FaultsHitCoilWritesToo)
{
    struct Case {
        std::vector<std::string> options;
        std::string result;
    };
    const Case cases[] = {
        {{"--exception", "4"}, "Ошибка CRC: " + HexText(WithCrc({1, 0x85, 0x04}))},
        {{"--bad-crc", "1/1"}, "Ошибка CRC: " + HexText(WithBadCrc(WithCrc({1, 5, 0, 2, 0xFF, 0})))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.front());
        auto sim = Start(Plus(kExact, c.options));
        SimMaster master(sim->Link());
        master.device.WriteCoil(2, true);
        EXPECT_EQ(master.Lines(), (std::vector<std::string>{
                                      "Запрос: " + HexText(WithCrc({1, 5, 0, 2, 0xFF, 0})),
                                      c.result}));
        ExpectCleanStop(*sim);
    }
}

// A line that echoes every request: nothing of the echo reaches the log,
// polls, coil writes and typed requests are answered, and without looking
// for the echo every poll fails as before.
TEST(SimExchange, EchoingLineIsAnsweredAsAnyOther)
{
    const RegisterValues served = Served(kExact);
    auto sim = Start(Plus(kExact, {"--echo"}));
    SimMaster master(sim->Link());
    for (int poll = 0; poll < 2; ++poll) {
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value()) << master.LastLine();
        EXPECT_EQ(*read, served);
    }
    master.device.WriteCoil(2, true);
    master.device.SendRaw(std::vector<uint8_t>{1, 3, 0, 0, 0, 1}, true, 300);
    const std::string reply = "Ответ: " + HexText(ReadReply(1, served));
    const std::string coil = HexText(WithCrc({1, 5, 0, 2, 0xFF, 0}));
    const std::string typed = HexText(WithCrc({1, 3, 2, static_cast<uint8_t>(served[0] >> 8),
                                               static_cast<uint8_t>(served[0] & 0xFF)}));
    EXPECT_EQ(master.Lines(), (std::vector<std::string>{kReadRequest, reply, kReadRequest, reply,
                                                        "Запрос: " + coil, "Ответ: " + coil,
                                                        "Запрос: " + HexText(WithCrc({1, 3, 0, 0, 0, 1})),
                                                        "Ответ: " + typed}));
    EXPECT_TRUE(master.device.RemovingEcho());

    master.device.SetEchoMode(TModBusDevice::EchoMode::Off);
    EXPECT_FALSE(master.Read().has_value());
    EXPECT_EQ(master.LastLine().rfind("Ошибка CRC: 01 03 00 00 00 2E C5 D6 01 03 5C", 0), 0u) << master.LastLine();
    ExpectCleanStop(*sim);
}

// A pty has no speed of its own: the simulator must make up for it.
TEST(SimExchange, ExchangesTakeTheWireTime)
{
    std::chrono::duration<double, std::milli> fastest38400{1e9};
    for (const int32_t speed : {9600, 19200, 38400}) {
        SCOPED_TRACE(speed);
        auto sim = Start({"--speed", std::to_string(speed)});
        SimMaster master(sim->Link(), speed);
        // 8 request bytes, 3.5 characters of silence, 97 reply bytes; 10 bits each.
        const std::chrono::duration<double, std::milli> wire{(8 + 3.5 + 97) * 10 * 1000.0 / speed};
        // More exchanges at the fastest speed: its bound below is checked on
        // the quickest of them, and one that ran unhindered is enough.
        for (int i = 0; i < (speed == 38400 ? 10 : 3); ++i) {
            const auto start = Clock::now();
            ASSERT_TRUE(master.Read().has_value()) << master.LastLine();
            const std::chrono::duration<double, std::milli> took = Clock::now() - start;
            EXPECT_GE(took.count(), wire.count() - 0.5);
            EXPECT_LT(took.count(), wire.count() + 600);
            if (speed == 38400)
                fastest38400 = std::min(fastest38400, took);
        }
        ExpectCleanStop(*sim);
    }
    // Not five times the 30 ms it takes: the bound has to stay under the
    // 113 ms of 9600 bit/s pacing to mean anything.
    EXPECT_LT(fastest38400.count(), 100) << "paced as if slower than 38400 bit/s";
}

} // namespace
