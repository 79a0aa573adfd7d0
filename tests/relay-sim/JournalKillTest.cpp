// A monitor killed outright while it polls the simulator leaves a journal on
// disk whose last line is at most a second old.

#include "ExchangeJournal.h"
#include "LocalTime.h"
#include "DeviceLink.h"
#include "SimProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> FileLines(const fs::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.back() == '\r')
            lines.push_back(line.substr(0, line.size() - 1));
    return lines;
}

// "9:05:07:45\t..." as milliseconds since midnight.
long long StampMs(const std::string& line)
{
    int h = 0, m = 0, s = 0, ms = 0;
    if (std::sscanf(line.c_str(), "%d:%d:%d:%d\t", &h, &m, &s, &ms) != 4)
        return -1;
    return ((h * 60LL + m) * 60 + s) * 1000 + ms;
}

long long LocalMs(std::chrono::system_clock::time_point at)
{
    const LocalTime local = ToLocal(at);
    return ((local.hour * 60LL + local.minute) * 60 + local.second) * 1000 + local.millisecond;
}

TEST(JournalAfterKill, LastLineIsAtMostASecondOld)
{
    SimProcess sim({"--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink());
    const fs::path folder = fs::path(sim.Directory()) / "journal";
    const fs::path file = ExchangeJournal(folder).FileFor(ExchangeJournal::LocalToday());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The link as the monitor builds it, polling back to back.
        ExchangeJournal journal(folder);
        DeviceLink link({.portName = sim.Link(), .speed = 38400, .pollIntervalMs = 0}, &journal);
        link.Poller().StartPolling();
        for (;;)
            pause();
    }
    // Polling for a while, then killed mid-stride.
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (FileLines(file).size() < 40 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    // The worst moment: just before the next flush.
    const auto size = fs::file_size(file);
    while (fs::file_size(file) == size && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(ExchangeJournal::kFlushEvery - 10ms);
    const auto killedAt = std::chrono::system_clock::now();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    const auto lines = FileLines(file);
    ASSERT_GE(lines.size(), 40u);
    const long long age = LocalMs(killedAt) - StampMs(lines.back());
    // About a flush interval (150 ms) as measured; a second is what is promised.
    EXPECT_GE(age, 0) << lines.back();
    EXPECT_LE(age, 1000) << lines.back();
}

} // namespace
