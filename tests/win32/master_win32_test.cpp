// The master on the Win32 port under Wine, against the relay on COM6: how
// each kind of reply ends up in the log, and that the line is clean after it.

#include "ExchangeLog.h"
#include "LinePeer.h"
#include "TCOMPort.h"
#include "TModBusDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <span>
#include <thread>

namespace {

using namespace win32_support;
using namespace testing_support;

const std::string kPollRequest = "Запрос: 01 03 00 00 00 2E C5 D6 ";

// The port as start-up configures it, except that the total timeout is
// longer than the master's 1000 ms wait unless a case says otherwise: when
// the two are equal the driver and the wait race, and under Wine the driver
// wins (the read ends with 0 bytes instead of ETimeout).
constexpr int kTotalTimeoutMs = 2000;

class MasterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer_.IsOpen()) << kPeerName << " is not linked into the Wine prefix";
        ASSERT_TRUE(port_.Open());
        port_.Apply(LineSettings{.readTotalMs = kTotalTimeoutMs});
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

    // Waits until the port's receive queue holds `count` bytes; returns the
    // last count seen.
    int QueuedOnThePort(int count)
    {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int queued = port_.ClearErrors();
        while (queued < count && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            queued = port_.ClearErrors();
        }
        return queued;
    }

    // A good poll right after a fault must be accepted with the relay's
    // current values: nothing of the fault may linger on the line, nor in a
    // read the driver still holds.
    void ExpectCleanPoll(const std::string& after)
    {
        std::vector<uint16_t> dest(46, 0xBEEF);
        EXPECT_TRUE(master_.ReadHoldingRegisters(dest.data(), 0, 46)) << "poll after " << after;
        relay_.WaitIdle();
        EXPECT_EQ(dest, relay_.LastServed()) << "poll after " << after;
        const auto bodies = TakeBodies();
        ASSERT_EQ(bodies.size(), 2u) << after;
        EXPECT_EQ(bodies[0], kPollRequest);
        EXPECT_EQ(bodies[1].rfind("Ответ: ", 0), 0u) << after;
    }

    LinePeer peer_;
    Relay relay_{peer_};
    TCOMPort port_{TCOMPort::DevicePath(kPortName)};
    ExchangeLog log_;
    TModBusDevice master_;
};

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
        // drop; waiting for all of it also lets socat finish passing it on.
        const std::size_t taken = c.outcome == Outcome::NoReply ? 0 : c.received;
        const int left = static_cast<int>(stream.size() - taken);
        EXPECT_EQ(QueuedOnThePort(left), left);
        port_.SetReadTotalTimeout(kTotalTimeoutMs);
        ExpectCleanPoll(c.name);
        EXPECT_TRUE(port_.IsOpen());
    }
}

struct RawCase {
    const char* name;
    Script script;
    std::string replyBody;
};

// A raw request waits its whole time, then takes what the receive queue
// holds: the count comes from ClearErrors.
TEST_F(MasterTest, SendRawCases)
{
    const Bytes request = ParseHex("01 04 00 00 00 01");
    const Bytes reply = WithCrc(ParseHex("01 04 02 12 34"));
    Bytes corrupt = reply;
    corrupt[3] ^= 0xFF;
    const std::vector<RawCase> cases = {
        {"no reply", [](const Bytes&, const Bytes&) { return Reply{}; }, "Таймаут ответа!"},
        {"one byte", [](const Bytes&, const Bytes&) { return Reply{{0, ParseHex("01")}}; }, "Таймаут ответа!"},
        {"good CRC", [&](const Bytes&, const Bytes&) { return Reply{{0, reply}}; }, "Ответ: " + HexText(reply)},
        {"bad CRC", [&](const Bytes&, const Bytes&) { return Reply{{0, corrupt}}; },
         "Ошибка CRC: " + HexText(corrupt)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        relay_.Next(c.script);
        master_.SendRaw(request, true, 300);
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

} // namespace
