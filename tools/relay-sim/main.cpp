// relay-sim: one Zarit relay, or several, on a virtual serial line or a TCP
// port, for demos and tests.

#include "ModbusSlave.h"
#include "Options.h"
#include "RelayModel.h"
#include "Simulator.h"
#include "TcpLine.h"
#include "VirtualLine.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

using namespace relaysim;

namespace {

RelayModel MakeModel(const Options& o, const UnitOptions& unit, TimePoint start)
{
    RelayConfig config;
    config.address = unit.address;
    config.speedCode = SpeedCode(o.speed).value_or(0);
    config.loadCentiamps = unit.loadCentiamps;
    config.faultCentiamps = o.faultCentiamps;
    config.noisePercent = o.noisePercent;
    config.inputHold = o.inputHold;
    config.seed = unit.faults.seed;
    RelayModel model(config, start);
    for (const auto& [r, value] : unit.setpoints)
        model.SetSetpoint(r, value, start);
    if (unit.faultAt)
        model.ScheduleFault(start + *unit.faultAt, start);
    return model;
}

std::string Addresses(const Options& o)
{
    std::string text;
    for (const auto& unit : o.units)
        text += (text.empty() ? "" : ", ") + std::to_string(unit.address);
    return text;
}

// Stop requests arrive on a descriptor the event loop polls, instead of
// doing anything inside a signal handler.
int StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    // A reader gone from stdout, or keys read from the background, must not
    // stop or kill the relay.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
    return ::signalfd(-1, &set, SFD_CLOEXEC);
}

// With a standard descriptor closed, the pty or the signalfd would take its
// number and be mistaken for the terminal.
void KeepStandardDescriptorsTaken()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0)
            ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

std::unique_ptr<Line> OpenLine(const Options& o)
{
    if (o.tcp)
        return std::make_unique<TcpLine>(*o.tcp);
    return std::make_unique<VirtualLine>(o.linkPath);
}

} // namespace

int main(int argc, char** argv)
{
    KeepStandardDescriptorsTaken();
    const std::string defaultLink = DefaultLinkPath(std::getenv("TMPDIR"));
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseOptions(args, defaultLink);
    if (!parsed.options) {
        std::fprintf(stderr, "relay-sim: %s\nTry 'relay-sim --help'.\n", parsed.error.c_str());
        return 2;
    }
    const Options& options = *parsed.options;
    if (options.help) {
        std::fputs(HelpText(defaultLink).c_str(), stdout);
        return 0;
    }
    const TimePoint start = Clock::now();
    std::vector<RelayModel> models;
    for (const auto& unit : options.units)
        models.push_back(MakeModel(options, unit, start));
    if (options.printRegisters) {
        for (std::size_t i = 0; i < models.size(); ++i) {
            if (!options.unitAddresses.empty())
                std::printf("address %u:\n", options.units[i].address);
            std::fputs(DescribeRegisters(models[i].Read()).c_str(), stdout);
        }
        return 0;
    }

    const int stopFd = StopSignals();
    if (stopFd < 0) {
        std::perror("relay-sim: signalfd");
        return 1;
    }
    try {
        const auto line = OpenLine(options);
        std::vector<uint8_t> addresses;
        for (const auto& unit : options.units)
            addresses.push_back(unit.address);
        ModbusSlave slave(line->Fd(), addresses);
        if (options.unitAddresses.empty())
            std::printf("relay-sim: relay at address %u, %u bit/s\n", options.address,
                        options.speed);
        else
            std::printf("relay-sim: relays at addresses %s, %u bit/s\n",
                        Addresses(options).c_str(), options.speed);
        std::printf("PORT=%s\n"
                    "%s\n"
                    "keys: f fault, c clear fault, a acknowledge, sREG=VALUE setpoint, q quit (each with Enter)%s\n",
                    line->PortName().c_str(), line->Where().c_str(),
                    options.unitAddresses.empty() ? "" : "; an address before the key picks"
                                                         " the relay, as in 2f");
        std::fflush(stdout);
        Simulator simulator(options, models, *line, slave, stopFd, stdout);
        const bool clean = simulator.Run();
        std::printf("relay-sim: stopped\n");
        return clean ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "relay-sim: %s\n", e.what());
        return 1;
    }
}
