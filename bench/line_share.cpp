// Polling a line of relays at interval 0, our link (as the program builds
// it) against the simulator at 9600 bit/s:
//  - four relays answering: the round's polls against the line's limit (a
//    poll is request, 3.5 characters of silence and reply, 10 bits a
//    character);
//  - three relays answering, then the same three with a fourth address
//    that never answers: how much the silent one lengthens the others'
//    refresh period once it is polled rarely.
//
//   build/bench/line_share [seconds-per-run]

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

struct Run {
    double answeredPerSecond = 0;  // all relays
    double periodSeconds = 0;      // between two answers of one live relay, on average
    uint64_t silentPolls = 0;      // of the relay that never answers, while measured
    uint64_t failed = 0;           // polls of the live relays not answered
};

Run Measure(const std::string& played, const std::vector<uint8_t>& polled, std::size_t live, int seconds)
{
    SimProcess sim({"--units", played, "--speed", std::to_string(kSpeed), "--noise", "0"});
    if (!sim.WaitForLink()) {
        std::fprintf(stderr, "the simulator did not start: %s\n", sim.Output().c_str());
        std::exit(1);
    }
    DeviceLink link({.portName = sim.Link(), .speed = kSpeed, .address = polled.front(), .pollIntervalMs = 0,
                     .relays = polled});
    TDeviceControl& poller = link.Poller();
    poller.StartPolling();
    auto answered = [&] {
        uint64_t n = 0;
        for (std::size_t unit = 0; unit < live; ++unit)
            n += poller.Stats(unit).answered;
        return n;
    };
    auto failed = [&] {
        uint64_t n = 0;
        for (std::size_t unit = 0; unit < live; ++unit)
            n += poller.Stats(unit).polls - poller.Stats(unit).answered;
        return n;
    };
    // Past the start, and past the silent relay's first rounds, before counting.
    while (answered() < 3 * live || (polled.size() > live && !poller.Stats(live).rare))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const uint64_t answeredBefore = answered(), failedBefore = failed();
    const uint64_t silentBefore = polled.size() > live ? poller.Stats(live).polls : 0;
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t count = answered() - answeredBefore;
    Run run;
    run.answeredPerSecond = static_cast<double>(count) / took;
    run.periodSeconds = took * static_cast<double>(live) / static_cast<double>(count);
    run.silentPolls = (polled.size() > live ? poller.Stats(live).polls : 0) - silentBefore;
    run.failed = failed() - failedBefore;
    poller.StopPolling();
    sim.Stop(SIGTERM);
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: %s [seconds-per-run]\n", argv[0]);
        return 2;
    }
    const double limit = kSpeed / 10.0 / (kRequest + kSilence + kReply);
    std::printf("polling at interval 0, %d bit/s, %d s a run; the line's limit %.2f polls/s\n", kSpeed, seconds,
                limit);

    const Run four = Measure("1,2,3,4", {1, 2, 3, 4}, 4, seconds);
    std::printf("four relays answering:   %6.2f polls/s, %5.1f%% of the limit, period %.3f s, failed %llu\n",
                four.answeredPerSecond, 100.0 * four.answeredPerSecond / limit, four.periodSeconds,
                static_cast<unsigned long long>(four.failed));
    const Run three = Measure("1,2,3", {1, 2, 3}, 3, seconds);
    std::printf("three relays answering:  period %.3f s, failed %llu\n", three.periodSeconds,
                static_cast<unsigned long long>(three.failed));
    const Run silent = Measure("1,2,3", {1, 2, 3, 4}, 3, seconds);
    std::printf("the three and a silent 4: period %.3f s (%+.1f%%), the silent one polled %llu times, failed %llu\n",
                silent.periodSeconds, 100.0 * (silent.periodSeconds / three.periodSeconds - 1),
                static_cast<unsigned long long>(silent.silentPolls), static_cast<unsigned long long>(silent.failed));
    return 0;
}
