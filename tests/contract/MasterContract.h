#pragma once

// The master on the line the platform's test build links in (RelayLine.h):
// the fixture of the contract suite, master_contract_test.cpp, and of the
// tests that only one platform can run.

#include "ExchangeLog.h"
#include "RelayLine.h"
#include "TCOMPort.h"
#include "TModBusDevice.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace contract {

inline const std::string kPollRequest = "Запрос: 01 03 00 00 00 2E C5 D6 ";
// As start-up sets it: equal to the master's 1000 ms wait, which then
// decides on a tie.
inline constexpr int kTotalTimeoutMs = 1000;

struct CommandCase {
    const char* name;
    testing_support::Script script;  // none: the relay's own answer
    std::string replyBody;
};

class MasterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(line_->Problem(), "");
        // As start-up configures the port.
        ASSERT_TRUE(port_.Open());
        port_.Apply(LineSettings{.readTotalMs = kTotalTimeoutMs});
        Configure(master_);
    }

    // As start-up configures the master of a serial line.
    void Configure(TModBusDevice& master)
    {
        master.SetPort(&port_);
        master.SetAddress(1);
        master.SetLog(&log_);
        master.SetLineSpeed(9600);
    }

    std::vector<std::string> TakeBodies()
    {
        std::vector<std::string> bodies;
        for (const auto& line : log_.Lines())
            bodies.push_back(testing_support::Body(line));
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

    // One command a case, answered by the case's script: the relay gets
    // `request` ("01 05 ...") once, the log shows it and the case's reply,
    // and a poll right after is clean.
    void ExpectCommandCases(const std::function<void()>& command, const std::string& request,
                            const std::vector<CommandCase>& cases)
    {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const std::size_t before = relay_.Requests().size();
            relay_.Next(c.script);
            command();
            relay_.WaitIdle();
            const auto requests = relay_.Requests();
            ASSERT_EQ(requests.size(), before + 1);
            EXPECT_EQ(requests.back(), testing_support::ParseHex(request));
            const auto bodies = TakeBodies();
            ASSERT_EQ(bodies.size(), 2u);
            EXPECT_EQ(bodies[0], "Запрос: " + request + " ");
            EXPECT_EQ(bodies[1], c.replyBody);
            ExpectCleanPoll(c.name);
        }
    }

    std::unique_ptr<RelayLine> line_ = MakeRelayLine();
    testing_support::ScriptedRelay& relay_ = line_->Relay();
    TCOMPort port_{line_->DevicePath()};
    ExchangeLog log_;
    TModBusDevice master_;
};

} // namespace contract
