// zaritmon-station: the monitor as a service, without windows.
//
//   zaritmon-station [--config PATH] [--state DIR]

#include "Station.h"
#include "Wakeup.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

void Say(const std::string& line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

const char* const kHelp =
    "zaritmon-station [--config PATH] [--state DIR]\n"
    "Polls the relays of ZaritMon.ini without windows, writes the exchange journal and the event\n"
    "files, and tells what happens on stderr, a line each.\n"
    "  --config PATH  the configuration file, or the folder that holds ZaritMon.ini (default: the\n"
    "                 working folder's)\n"
    "  --state DIR    where a relative JOURNALDIR lies (default: beside the configuration file)\n"
    "SIGTERM or SIGINT stop it once the read under way is done; a second one ends it at once.\n";

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path config = "ZaritMon.ini";
    std::filesystem::path state;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if ((arg == "--config" || arg == "--state") && i + 1 < argc) {
            (arg == "--config" ? config : state) = argv[++i];
            continue;
        }
        std::fprintf(stderr, "zaritmon-station: unknown or incomplete option %s\n%s", argv[i], kHelp);
        return 2;
    }
    std::error_code error;
    if (std::filesystem::is_directory(config, error))
        config /= "ZaritMon.ini";
    if (!std::filesystem::is_regular_file(config, error)) {
        std::fprintf(stderr, "zaritmon-station: no configuration file %s\n", config.c_str());
        return 1;
    }
    if (state.empty())
        state = std::filesystem::absolute(config, error).parent_path();

    // Taken by the signalfd below, in every thread the station starts.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    // Outlives the station, whose threads wake it.
    const Wakeup wakeup(stops);
    Station station(config, state, Say, [&wakeup] { wakeup.Wake(); });
    int signal = 0;
    while (signal == 0)
        signal = wakeup.Wait(station.Tick());
    // A second stop ends the process at once, without waiting for the read
    // under way or the disk.
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    Say(std::string("остановка по ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    return station.Stop() ? 0 : 1;
}
