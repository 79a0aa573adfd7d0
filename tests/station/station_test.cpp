// zaritmon-station as a service runs it: a child process on the simulator's
// line, told to stop by signals.

#include "SimProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The station on the simulator's line with this configuration (Windows-1251
// bytes, after PORT), its state in the simulator's folder.
SimProcess StartStation(const SimProcess& sim, const std::string& config)
{
    const fs::path ini = fs::path(sim.Directory()) / "ZaritMon.ini";
    std::ofstream(ini, std::ios::binary) << "[Config]\r\nPORT=" << sim.Link() << "\r\n" << config;
    return SimProcess(SimProcess::Program{STATION_PATH, {"--config", ini.string(), "--state", sim.Directory()}});
}

// Two relays and an address nobody answers: the trip of relay 2 and the
// silence of 9 are told and filed, and SIGTERM ends it cleanly.
TEST(Station, PollsTheLineFilesItsEventsAndStopsOnSigterm)
{
    SimProcess sim({"--units", "1,2", "--fault-at", "2:0.5", "--speed", "38400", "--noise", "0"});
    ASSERT_TRUE(sim.WaitForLink());
    // "2=Фидер 2" in Windows-1251.
    SimProcess station = StartStation(sim, "SPEED=38400\r\nREFRESHINTERVAL=0\r\n[Relays]\r\n1=\r\n"
                                           "2=\xD4\xE8\xE4\xE5\xF0 2\r\n9=\r\n");
    EXPECT_TRUE(station.WaitForOutput("Фидер 2 (адрес 2): Сработало I> (МТЗ) — вкл", 15s)) << station.Output();
    EXPECT_TRUE(station.WaitForOutput("адрес 9: Связь — нет ответа", 15s)) << station.Output();
    const SimProcess::Exit exit = station.Stop(SIGTERM, 10s);
    EXPECT_TRUE(exit.exited) << exit.signal;
    EXPECT_EQ(exit.status, 0);
    EXPECT_NE(station.Output().find("остановлено"), std::string::npos) << station.Output();
    EXPECT_EQ(station.Output().find("адрес 1: Сработало"), std::string::npos) << station.Output();

    const fs::path journal = fs::path(sim.Directory()) / "journal";
    std::string events, frames;
    for (const auto& entry : fs::directory_iterator(journal))
        (entry.path().filename().string().starts_with("ZaritMon-events-") ? events : frames) += Read(entry.path());
    // "Сработало I> (МТЗ);вкл" and the relay last, in Windows-1251.
    EXPECT_NE(events.find(";\xD1\xF0\xE0\xE1\xEE\xF2\xE0\xEB\xEE I> (\xCC\xD2\xC7);\xE2\xEA\xEB;"), std::string::npos);
    EXPECT_NE(events.find(";\xD4\xE8\xE4\xE5\xF0 2 (\xE0\xE4\xF0\xE5\xF1 2)\r\n"), std::string::npos);
    EXPECT_NE(frames.find("09 03 00 00 00 2E"), std::string::npos) << "every request in the journal";
}

// A stop writes the journal out, which a hung disk never lets it finish (a
// FIFO nobody reads stands for one); a second SIGTERM does not wait for it.
TEST(Station, ASecondSigtermDoesNotWait)
{
    SimProcess sim({"--units", "1", "--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink());
    const fs::path journal = fs::path(sim.Directory()) / "journal";
    fs::create_directory(journal);
    for (int day = 0; day < 2; ++day) {  // today's file, and tomorrow's after midnight
        const std::time_t at = std::time(nullptr) + day * 86400;
        char name[40];
        std::strftime(name, sizeof name, "ZaritMon-%Y-%m-%d.log", std::localtime(&at));
        ASSERT_EQ(::mkfifo((journal / name).c_str(), 0600), 0);
    }
    SimProcess station = StartStation(sim, "SPEED=38400\r\n");
    ASSERT_TRUE(station.WaitForOutput("журнал и события", 10s)) << station.Output();
    station.SendSignal(SIGTERM);
    ASSERT_TRUE(station.WaitForOutput("остановка по SIGTERM", 10s)) << station.Output();
    const SimProcess::Exit exit = station.Stop(SIGTERM, 10s);
    EXPECT_EQ(exit.signal, SIGTERM) << station.Output();
}

} // namespace
