// How close polling at interval 0 comes to the line's own limit, on a line
// that echoes every request and on one that does not: our link (as the
// program builds it) against the relay simulator at 9600 bit/s. The limit is
// one poll per request, echo, 3.5 characters of silence and reply on the
// wire, 10 bits a character; the echo's bytes count as line time, as the
// simulator paces them.
//
//   build/bench/wire_share [seconds-per-line]

#include "DeviceLink.h"
#include "SimProcess.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

constexpr int kSpeed = 9600;
constexpr double kRequest = 8, kReply = 97, kSilence = 3.5;

struct Share {
    double pollsPerSecond = 0;
    double limit = 0;
    uint64_t rejected = 0;
};

Share Measure(bool echo, int seconds)
{
    std::vector<std::string> options = {"--speed", std::to_string(kSpeed), "--noise", "0"};
    if (echo)
        options.push_back("--echo");
    SimProcess sim(options);
    if (!sim.WaitForLink()) {
        std::fprintf(stderr, "the simulator did not start: %s\n", sim.Output().c_str());
        std::exit(1);
    }
    DeviceLink link({.portName = sim.Link(), .speed = kSpeed, .pollIntervalMs = 0});
    TDeviceControl& poller = link.Poller();
    poller.StartPolling();
    // Past the first polls (where the echo is found) before counting.
    while (poller.Stats().answered < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const PollStats before = poller.Stats();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const PollStats after = poller.Stats();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    poller.StopPolling();
    sim.Stop(SIGTERM);

    const double characters = kRequest + (echo ? kRequest : 0) + kSilence + kReply;
    return {static_cast<double>(after.answered - before.answered) / took, kSpeed / 10.0 / characters,
            (after.polls - after.answered) - (before.polls - before.answered)};
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: %s [seconds-per-line]\n", argv[0]);
        return 2;
    }
    std::printf("polling at interval 0, %d bit/s, %d s a line\n", kSpeed, seconds);
    std::printf("%-16s %12s %12s %8s %10s\n", "line", "polls/s", "limit/s", "share", "failed");
    for (const bool echo : {false, true}) {
        const Share s = Measure(echo, seconds);
        std::printf("%-16s %12.2f %12.2f %7.1f%% %10llu\n", echo ? "echoing" : "without echo", s.pollsPerSecond,
                    s.limit, 100.0 * s.pollsPerSecond / s.limit, static_cast<unsigned long long>(s.rejected));
    }
    return 0;
}
