// How long an operator's command waits for the line while polling runs at a
// long interval: from the click (DeviceLink::Exclusive, as every command of
// the window runs) to the moment the command has the line and sends its
// frame, and to its reply. Clicks land at random points of the read and of
// the pause. Against the relay simulator at 9600 bit/s.
//
//   build/bench/command_latency [clicks] [interval-ms]

#include "DeviceLink.h"
#include "SimProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

void Print(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-22s median %8.1f ms   max %8.1f ms\n", what, v[v.size() / 2], v.back());
}

} // namespace

int main(int argc, char** argv)
{
    const int clicks = argc > 1 ? std::atoi(argv[1]) : 20;
    const int interval = argc > 2 ? std::atoi(argv[2]) : 10000;
    if (clicks < 1 || interval < 0) {
        std::fprintf(stderr, "usage: %s [clicks] [interval-ms]\n", argv[0]);
        return 2;
    }
    SimProcess sim({"--speed", "9600", "--noise", "0"});
    if (!sim.WaitForLink()) {
        std::fprintf(stderr, "the simulator did not start: %s\n", sim.Output().c_str());
        return 1;
    }
    DeviceLink link({.portName = sim.Link(), .speed = 9600, .pollIntervalMs = interval});
    link.Poller().StartPolling();
    std::mt19937 random(7);
    // A poll's read at 9600 bit/s is about 120 ms: wait up to 1.5 s, so that
    // clicks fall into reads as well as into the pause.
    std::uniform_int_distribution<int> delay(0, 1500);
    std::vector<double> toLine, toReply;
    int answered = 0;
    for (int i = 0; i < clicks; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        const auto click = Clock::now();
        link.Exclusive([&] {
            toLine.push_back(Ms(Clock::now() - click));
            link.Master().WriteCoil(0, true);
            answered += link.Master().LastOutcome() == TModBusDevice::Outcome::Answered;
        });
        toReply.push_back(Ms(Clock::now() - click));
    }
    link.Poller().StopPolling();
    sim.Stop(SIGTERM);
    std::printf("%d clicks while polling at interval %d ms, 9600 bit/s; %d answered\n", clicks, interval, answered);
    Print("click to the line", toLine);
    Print("click to the reply", toReply);
    return 0;
}
