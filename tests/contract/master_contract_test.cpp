// The master against the scripted relay, on the pseudo-terminal in the Linux
// build and on a Wine COM port in the Windows one: every way a reply can go
// wrong, the exact log it leaves, and that the line recovers at once.

#include "MasterContract.h"

#include <functional>
#include <span>

namespace contract {
namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

TEST_F(MasterTest, ReadHoldingRegistersCases)
{
    for (const auto& c : PollCases()) {
        SCOPED_TRACE(c.name);
        port_.SetReadTotalTimeout(c.totalTimeoutMs ? c.totalTimeoutMs : kTotalTimeoutMs);
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
        // What the master did not take stays queued for the next request to
        // drop; waiting for all of it also lets the line (the pty, or socat)
        // finish passing it on.
        const std::size_t taken = c.outcome == Outcome::NoReply ? 0 : c.received;
        const int left = static_cast<int>(stream.size() - taken);
        EXPECT_EQ(QueuedOnThePort(left), left);
        port_.SetReadTotalTimeout(kTotalTimeoutMs);
        ExpectCleanPoll(c.name);
        EXPECT_TRUE(port_.IsOpen());
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

TEST_F(MasterTest, WriteCoilCases)
{
    ExpectCommandCases([&] { master_.WriteCoil(1, true); }, "01 05 00 01 FF 00 DD FA", {
        {"echo", [](const Bytes&, const Bytes& g) { return Reply{{0, g}}; }, "Ответ: 01 05 00 01 FF 00 DD FA "},
        {"the other state's reply", [](const Bytes&, const Bytes&) { return Reply{{0, ParseHex("01 05 00 01 00 00 9C 0A")}}; },
         "Ошибка CRC: 01 05 00 01 00 00 9C 0A "},
        {"silence", [](const Bytes&, const Bytes&) { return Reply{}; }, "Таймаут ответа!"},
        {"bad CRC", [](const Bytes&, Bytes g) { g[7] ^= 1; return Reply{{0, g}}; },
         "Ошибка CRC: 01 05 00 01 FF 00 DD FB "},
        {"exception", [](const Bytes&, const Bytes&) { return Reply{{0, WithCrc(ParseHex("01 85 04"))}}; },
         "Ошибка CRC: " + HexText(WithCrc(ParseHex("01 85 04")))},
    });
}

// Until a poll has shown whether the line echoes, a coil write's reply
// complete 7.5-20 ms after its request (at 9600 bit/s) may be the line's
// echo. A relay on a virtual port answers there, as does one behind a driver
// that returns from the write once the bytes are out: with no second copy
// after it, it is the relay's reply. A master that has not polled each time.
TEST_F(MasterTest, CoilWriteBeforeTheFirstPollCases)
{
    std::unique_ptr<TModBusDevice> unpolled;
    const auto command = [&] {
        unpolled = std::make_unique<TModBusDevice>();
        Configure(*unpolled);
        unpolled->WriteCoil(1, true);
    };
    const auto after = [](int ms) { return [ms](const Bytes&, const Bytes& g) { return Reply{{ms, g}}; }; };
    const std::string answer = "Ответ: 01 05 00 01 FF 00 DD FA ";
    ExpectCommandCases(command, "01 05 00 01 FF 00 DD FA", {
        {"reply after 10 ms", after(10), answer},
        {"reply after 15 ms", after(15), answer},
        {"reply after 20 ms", after(20), answer},
    });
}

// A raw request waits its whole time, then takes what the receive queue
// holds: the count comes from ClearErrors.
TEST_F(MasterTest, SendRawCases)
{
    const Bytes reply = WithCrc(ParseHex("01 04 02 12 34"));
    Bytes corrupt = reply;
    corrupt[3] ^= 0xFF;
    const auto send = [&] { master_.SendRaw(ParseHex("01 04 00 00 00 01"), true, line_->RawWaitMs()); };
    ExpectCommandCases(send, "01 04 00 00 00 01 31 CA", {
        {"no reply", [](const Bytes&, const Bytes&) { return Reply{}; }, "Таймаут ответа!"},
        {"one byte", [](const Bytes&, const Bytes&) { return Reply{{0, ParseHex("01")}}; }, "Таймаут ответа!"},
        {"good CRC", [&](const Bytes&, const Bytes&) { return Reply{{0, reply}}; }, "Ответ: " + HexText(reply)},
        {"bad CRC", [&](const Bytes&, const Bytes&) { return Reply{{0, corrupt}}; },
         "Ошибка CRC: " + HexText(corrupt)},
    });
}

TEST_F(MasterTest, SendRawWithoutCrcSendsTheBytesUnchanged)
{
    const auto send = [&] { master_.SendRaw(ParseHex("0A 0B 0C"), false, line_->RawWaitMs()); };
    ExpectCommandCases(send, "0A 0B 0C", {{"function 0B, which the relay leaves unanswered", nullptr, "Таймаут ответа!"}});
}

// An RS-485 adapter that hears its own sending: each request comes back
// before the reply. Steps on one master, in order, as the decision carries
// from one exchange to the next.
TEST_F(MasterTest, EchoOfTheRequestIsTakenOffWhileTheLineHasOne)
{
    using Mode = TModBusDevice::EchoMode;
    enum class Command { Poll, Coil, Raw };
    using Body = std::function<std::string(const Bytes& good)>;
    struct Step {
        const char* name;
        Mode mode;
        Command command;
        Script script;
        Body body;
        bool removing;  // afterwards
    };
    const Bytes rawReply = WithCrc(ParseHex("01 04 02 12 34"));
    const Bytes coilException = WithCrc(ParseHex("01 85 04"));
    const auto echoed = [](int gapMs) {
        return [gapMs](const Bytes& r, const Bytes& g) { return Reply{{0, r}, {gapMs, g}}; };
    };
    const Body answer = [](const Bytes& g) { return "Ответ: " + HexText(g); };
    const Step steps[] = {
        {"first poll with an echo", Mode::Auto, Command::Poll, echoed(0), answer, true},
        // Longer than the 100 ms gap that ends a read.
        {"the reply 150 ms after the echo", Mode::Auto, Command::Poll, echoed(150), answer, true},
        {"an echo broken by a gap",
         Mode::Auto, Command::Poll,
         [](const Bytes& r, const Bytes& g) {
             return Reply{{0, Bytes(r.begin(), r.begin() + 3)}, {150, Concat({{0, Bytes(r.begin() + 3, r.end())}, {0, g}})}};
         },
         answer, true},
        {"nothing after the echo", Mode::Auto, Command::Poll,
         [](const Bytes& r, const Bytes&) { return Reply{{0, r}}; }, [](const Bytes&) { return "Таймаут ответа!"; },
         true},
        {"coil write, echo and reply", Mode::Auto, Command::Coil, echoed(0), answer, true},
        {"coil write, echo and an exception", Mode::Auto, Command::Coil,
         [&](const Bytes& r, const Bytes&) { return Reply{{0, r}, {0, coilException}}; },
         [&](const Bytes&) { return "Ошибка CRC: " + HexText(coilException); }, true},
        {"typed request", Mode::Auto, Command::Raw,
         [&](const Bytes& r, const Bytes&) { return Reply{{0, r}, {0, rawReply}}; },
         [&](const Bytes&) { return "Ответ: " + HexText(rawReply); }, true},
        {"the echo has gone", Mode::Auto, Command::Poll, nullptr, answer, false},
        // Its reply is its request: no echo is looked for until a poll found one.
        {"coil write without an echo", Mode::Auto, Command::Coil, nullptr, answer, false},
        {"ECHO=off on an echoing line", Mode::Off, Command::Poll, echoed(0),
         [](const Bytes& g) {
             return "Ошибка CRC: " + HexText(Concat({{0, ParseHex("01 03 00 00 00 2E C5 D6")}, {0, Bytes(g.begin(), g.end() - 8)}}));
         },
         false},
        {"ECHO=on, a coil write before any poll", Mode::On, Command::Coil, echoed(0), answer, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        master_.SetEchoMode(step.mode);
        Bytes good;
        relay_.Next([&](const Bytes& request, const Bytes& g) {
            good = g;
            return step.script ? step.script(request, g) : Reply{{0, g}};
        });
        std::vector<uint16_t> dest(46, 0xBEEF);
        switch (step.command) {
        case Command::Poll:
            master_.ReadHoldingRegisters(dest.data(), 0, 46);
            break;
        case Command::Coil:
            master_.WriteCoil(1, true);
            break;
        case Command::Raw:
            master_.SendRaw(ParseHex("01 04 00 00 00 01"), true, line_->RawWaitMs());
            break;
        }
        relay_.WaitIdle();
        const auto bodies = TakeBodies();
        ASSERT_EQ(bodies.size(), 2u);
        EXPECT_EQ(bodies[1], step.body(good));
        if (step.command == Command::Poll && bodies[1].starts_with("Ответ")) {
            EXPECT_EQ(dest, relay_.LastServed());
        }
        EXPECT_EQ(master_.RemovingEcho(), step.removing);
    }
}

} // namespace
} // namespace contract
