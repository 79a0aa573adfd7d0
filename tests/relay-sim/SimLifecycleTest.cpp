// The simulator as a process: its line and link, stopping, and bad options.

#include "SimMaster.h"
#include "SimProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

double CpuSeconds(const rusage& usage)
{
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
           + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(SimLifecycle, ServesUntilStoppedThenRemovesItsLink)
{
    struct Case {
        const char* name;
        bool keys;
        int signal;  // 0: type q instead
    };
    for (const Case c : {Case{"SIGTERM", false, SIGTERM}, Case{"SIGINT", false, SIGINT},
                         Case{"q key", true, 0}}) {
        SCOPED_TRACE(c.name);
        SimProcess sim({"--speed", "38400"}, c.keys);
        ASSERT_TRUE(sim.WaitForLink()) << sim.Output();
        const std::string device = fs::read_symlink(sim.Link()).string();
        EXPECT_TRUE(device.starts_with("/dev/pts/")) << device;
        {
            SimMaster master(sim.Link());
            EXPECT_TRUE(master.Read().has_value()) << master.LastLine();
        }
        // Idle for a while: with stdin at end of file (or a quiet pipe) and
        // no requests, the loop must sleep rather than spin. Long enough that
        // a spinning loop, even on a loaded machine, would get far more CPU
        // than the bound below; that bound is five times what a sanitizer
        // build spends on starting, one read and stopping.
        std::this_thread::sleep_for(1500ms);

        SimProcess::Exit exit;
        if (c.signal) {
            exit = sim.Stop(c.signal);
        } else {
            sim.SendKeys("q\n");
            exit = sim.Wait();
        }
        EXPECT_TRUE(exit.exited);
        EXPECT_EQ(exit.status, 0) << sim.Output();
        EXPECT_FALSE(fs::exists(fs::symlink_status(sim.Link()))) << "link left behind";
        EXPECT_NE(sim.Output().find("PORT=" + device + "\n"), std::string::npos) << sim.Output();
        EXPECT_LT(CpuSeconds(exit.usage), 0.7) << "busy while idle";
    }
}

// Once the monitor closes its port, the pty must still work for the next
// open: the simulator keeps its own hold on the far end.
TEST(SimLifecycle, MonitorMayCloseAndReopenThePort)
{
    SimProcess sim({"--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink()) << sim.Output();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        SimMaster master(sim.Link());
        ASSERT_TRUE(master.opened);
        EXPECT_TRUE(master.Read().has_value()) << master.LastLine();
    }
    EXPECT_EQ(sim.Stop(SIGTERM).status, 0) << sim.Output();
}

TEST(SimLifecycle, ReplacesAStaleLink)
{
    const fs::path dir =
        fs::temp_directory_path() / ("relay-sim-stale." + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path link = dir / "relay";
    fs::create_symlink("/dev/pts/nonexistent", link);
    {
        SimProcess sim({"--speed", "38400"}, false, link.string());
        ASSERT_TRUE(sim.WaitForLink()) << sim.Output();
        EXPECT_EQ(sim.Stop(SIGTERM).status, 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
    fs::remove_all(dir);
}

TEST(SimLifecycle, LeavesALinkSomeoneElseTookOver)
{
    SimProcess sim({"--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink()) << sim.Output();
    fs::remove(sim.Link());
    fs::create_symlink("/dev/null", sim.Link());
    EXPECT_EQ(sim.Stop(SIGTERM).status, 0);
    EXPECT_EQ(fs::read_symlink(sim.Link()), "/dev/null");
}

TEST(SimLifecycle, RefusesToReplaceAFile)
{
    const fs::path dir =
        fs::temp_directory_path() / ("relay-sim-file." + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "relay";
    std::ofstream(file) << "keep me\n";
    {
        SimProcess sim({}, false, file.string());
        const auto exit = sim.Wait();
        EXPECT_EQ(exit.status, 1);
        EXPECT_NE(sim.Output().find("not a symbolic link"), std::string::npos) << sim.Output();
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
    }
    fs::remove_all(dir);
}

TEST(SimLifecycle, ExitCodesForHelpAndBadOptions)
{
    struct Case {
        std::vector<std::string> options;
        int code;
        std::string says;
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: relay-sim"},
        {{"--speed", "4800"}, 2, "--speed"},
        {{"--drop", "2"}, 2, "--drop"},
        {{"--frobnicate"}, 2, "--frobnicate"},
        {{"stray-argument"}, 2, "stray-argument"},
        {{"--tcp", "192.168.1.10:502"}, 2, "loopback"},
        {{"--tcp", "127.0.0.1"}, 2, "'--tcp' wants"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.front());
        const auto [code, output] = SimProcess::RunToEnd(c.options);
        EXPECT_EQ(code, c.code) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
    }
}

} // namespace
