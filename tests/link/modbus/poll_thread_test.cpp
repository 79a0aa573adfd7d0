// The poll thread against the scripted relay: the stop handshake's timing,
// the image after good and bad replies, and that a command never shares the
// line with a poll.

#include "DeviceLink.h"
#include "support/FakeRelay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <mutex>

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 5s)
{
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Stats() takes the thread's lock, which the thread holds from counting a
// poll until its pause begins: once a poll is counted, the thread is in the
// pause after it (or past it), never still on its way there.
bool PollCounted(const TDeviceControl& control, uint64_t polls = 1)
{
    return WaitUntil([&] { return control.Stats().polls >= polls; });
}

template <typename F>
std::chrono::milliseconds Timed(F f)
{
    const auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

std::vector<uint16_t> ImageOf(const TDeviceControl& control)
{
    std::vector<uint16_t> values;
    for (uint16_t i = 0; i < 46; ++i)
        values.push_back(control.GetRegister(i));
    return values;
}

class PollThreadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port_.IsOpen()); }

    std::size_t CountBodies(const std::string& prefix) const
    {
        std::size_t n = 0;
        for (const auto& line : log_.Lines())
            n += Body(line).rfind(prefix, 0) == 0;
        return n;
    }

    PtyPair pty_;
    FakeRelay relay_{pty_};
    // The link as the program builds it.
    DeviceLink link_{LinkSettings{.portName = pty_.DevicePath()}};
    Transport& port_ = link_.Port();
    ExchangeLog& log_ = link_.Log();
    TModBusDevice& master_ = link_.Master();
    TDeviceControl& control_ = link_.Poller();
};

TEST_F(PollThreadTest, StopWhileIdleReturnsPromptlyAndImageStartsAtZero)
{
    EXPECT_EQ(ImageOf(control_), std::vector<uint16_t>(46, 0));
    EXPECT_FALSE(control_.IsPolling());
    EXPECT_LT(Timed([&] { control_.StopPolling(); }), 500ms);
    EXPECT_LT(Timed([&] { control_.StopPolling(); }), 500ms);
    EXPECT_EQ(log_.Count(), 0u) << "no read without StartPolling";
}

TEST_F(PollThreadTest, StopWhilePausingEndsThePauseAtOnce)
{
    // A pause far longer than the bound below, so that only ending it early
    // can pass, and no second poll can begin however slow this thread is.
    control_.SetInterval(10000);
    control_.StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return CountBodies("Ответ") == 1; }));
    ASSERT_TRUE(PollCounted(control_));
    EXPECT_LT(Timed([&] { control_.StopPolling(); }), 1000ms);
    EXPECT_FALSE(control_.IsPolling());
    EXPECT_EQ(ImageOf(control_), relay_.LastServed());
    EXPECT_EQ(relay_.Requests().size(), 1u);
}

TEST_F(PollThreadTest, StopWhileReadingWaitsForTheReadButNotItsPause)
{
    // A pause far longer than the bound below: only skipping it can pass.
    control_.SetInterval(10000);
    // The reply is held until the stop has begun, then comes 100 ms later:
    // the stop certainly lands in the read, however the threads are run.
    relay_.Next([&](const Bytes&, const Bytes& good) {
        WaitUntil([&] { return !control_.IsPolling(); });
        return Reply{{100, good}};
    });
    control_.StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return relay_.Requests().size() == 1; }));
    const auto took = Timed([&] { control_.StopPolling(); });
    EXPECT_GE(took, 100ms);  // the rest of the read
    EXPECT_LT(took, 5000ms);
    EXPECT_EQ(CountBodies("Ответ"), 1u);
    EXPECT_EQ(relay_.Requests().size(), 1u);
}

TEST_F(PollThreadTest, StartTwiceIsStartOnce)
{
    control_.SetInterval(50);
    control_.StartPolling();
    control_.StartPolling();
    EXPECT_TRUE(control_.IsPolling());
    ASSERT_TRUE(WaitUntil([&] { return CountBodies("Ответ") >= 2; }));
    control_.StopPolling();
    EXPECT_FALSE(control_.IsPolling());
    const auto polls = relay_.Requests().size();
    // Nothing to wait for here: a spell of quiet in which a poll loop left
    // running would have sent again, three times over at its 50 ms interval.
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(relay_.Requests().size(), polls) << "stopped means stopped";
    EXPECT_EQ(relay_.Overlaps(), 0);
}

std::vector<uint16_t> Decode(const Bytes& reply)
{
    std::vector<uint16_t> values;
    for (std::size_t i = 3; i + 3 < reply.size(); i += 2)
        values.push_back(static_cast<uint16_t>(reply[i] << 8 | reply[i + 1]));
    return values;
}

TEST_F(PollThreadTest, RejectedRepliesLeaveTheLastGoodValues)
{
    control_.SetInterval(0);
    std::mutex mutex;  // the script runs on the relay's thread
    Bytes firstGood;
    relay_.Next([&](const Bytes&, const Bytes& good) {
        std::lock_guard lock(mutex);
        firstGood = good;
        return Reply{{0, good}};
    });
    relay_.Next([](const Bytes&, Bytes bad) { bad[50] ^= 1; return Reply{{0, bad}}; });
    relay_.Next([](const Bytes&, const Bytes&) { return Reply{{0, WithCrc(ParseHex("01 83 02"))}}; });
    // The next request comes only once both rejections are dealt with, and
    // its good reply not yet taken: the image as it stands between the two.
    std::vector<uint16_t> betweenRejectedAndGood;
    relay_.Next([&](const Bytes&, const Bytes& good) {
        std::lock_guard lock(mutex);
        betweenRejectedAndGood = ImageOf(control_);
        return Reply{{0, good}};
    });
    control_.StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return CountBodies("Ошибка CRC") == 2; }));
    ASSERT_TRUE(WaitUntil([&] { return CountBodies("Ответ") >= 2; }));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(betweenRejectedAndGood, Decode(firstGood));
    }
    control_.StopPolling();
    EXPECT_EQ(ImageOf(control_), relay_.LastServed());
    EXPECT_NE(ImageOf(control_), Decode(firstGood));
    EXPECT_EQ(control_.Stats().rejected, 1u);
    EXPECT_EQ(control_.Stats().exceptions, 1u);
}

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

TEST_F(PollThreadTest, DeadLineAtIntervalZeroNeitherSpinsNorFloodsTheLog)
{
    relay_.Next([](const Bytes&, const Bytes&) { return Reply{{0, {}, true}}; });
    control_.SetInterval(0);
    control_.StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return CountBodies("Ошибка CRC") >= 1; }));
    // Ten more failed polls, two lines each. Every one after the first needs
    // a whole pause begun after this point, so they take 900 ms at least.
    const auto start = Clock::now();
    const std::size_t before = log_.Count();
    const double cpuBefore = ProcessCpuSeconds();
    ASSERT_TRUE(WaitUntil([&] { return log_.Count() >= before + 20; }, 10s)) << "polling does go on";
    const std::chrono::duration<double> took = Clock::now() - start;
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    control_.StopPolling();
    EXPECT_FALSE(port_.IsOpen()) << "the hung-up port let go of its descriptor";
    const PollStats stats = control_.Stats();
    EXPECT_EQ(stats.timeouts, stats.polls) << "a dead line answers nothing, whatever the log calls it";
    EXPECT_EQ(stats.rejected, 0u);
    EXPECT_GE(took, 900ms) << "at most one poll per 100 ms";
    EXPECT_LT(cpu, 0.25 * took.count()) << "seconds of CPU in " << took.count() << " s of polling a dead line";
}

TEST_F(PollThreadTest, NegativeIntervalIsTakenAsZero)
{
    control_.SetInterval(-5);
    control_.StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return CountBodies("Ответ") >= 3; }, 3s));
    EXPECT_LT(Timed([&] { control_.StopPolling(); }), 1000ms);
}

TEST_F(PollThreadTest, DestroyWhilePollingEndsTheThread)
{
    auto control = std::make_unique<TDeviceControl>(46);
    control->SetMaster(&master_);
    // In the pause: a stop there ends it at once, while one that caught the
    // thread on its way from the read would wait out the whole pause.
    control->SetInterval(10000);
    control->StartPolling();
    ASSERT_TRUE(WaitUntil([&] { return CountBodies("Ответ") >= 1; }));
    ASSERT_TRUE(PollCounted(*control));
    EXPECT_LT(Timed([&] { control->StopPolling(); control.reset(); }), 1000ms);
}

// A command's exchanges run with the poll thread off the line, and polling
// is back afterwards only if it was on before.
TEST_F(PollThreadTest, ExclusivePausesPollingAndPutsItBackAsItWas)
{
    control_.SetInterval(0);
    for (bool polling : {true, false, true}) {
        if (polling) {
            control_.StartPolling();
            ASSERT_TRUE(PollCounted(control_, control_.Stats().polls + 1));
        }
        const int result = link_.Exclusive([&] {
            EXPECT_FALSE(control_.IsPolling());
            const std::size_t before = relay_.Requests().size();
            master_.WriteCoil(1, true);
            EXPECT_EQ(relay_.Requests().size(), before + 1) << "nothing but the coil write in between";
            return 7;
        });
        EXPECT_EQ(result, 7);
        EXPECT_EQ(control_.IsPolling(), polling);
        control_.StopPolling();
    }
    EXPECT_EQ(relay_.Overlaps(), 0);
    EXPECT_EQ(CountBodies("Ошибка CRC"), 0u);
}

// Commands from the UI thread between stops and starts, against a relay that
// notices two requests on the line at once: every poll and every coil write
// must be answered cleanly.
TEST_F(PollThreadTest, ThousandStartStopCyclesWithCoilWritesNeverShareTheLine)
{
    control_.SetInterval(0);
    constexpr int kCycles = 1000;
    for (int i = 0; i < kCycles; ++i) {
        const std::size_t requests = relay_.Requests().size();
        control_.StartPolling();
        if (i % 2 == 0) {  // odd cycles stop before the thread may have begun
            ASSERT_TRUE(WaitUntil([&] { return relay_.Requests().size() > requests; }));
        }
        control_.StopPolling();
        master_.WriteCoil(static_cast<uint16_t>(i % 5), i % 3 == 0);
    }
    EXPECT_EQ(relay_.Overlaps(), 0);
    EXPECT_EQ(CountBodies("Ошибка CRC"), 0u);
    EXPECT_EQ(CountBodies("Таймаут ответа!"), 0u);
    EXPECT_EQ(CountBodies("Запрос: 01 05"), static_cast<std::size_t>(kCycles));
    EXPECT_EQ(CountBodies("Запрос"), CountBodies("Ответ"));
    EXPECT_EQ(CountBodies("Запрос"), relay_.Requests().size());
}

} // namespace
