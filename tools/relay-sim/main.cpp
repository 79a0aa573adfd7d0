// relay-sim: one Zarit relay on a virtual serial line or a TCP port, for
// demos and tests.

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
#include <string_view>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

using namespace relaysim;

namespace {

RelayModel MakeModel(const Options& o)
{
    RelayConfig config;
    config.address = o.address;
    config.speedCode = SpeedCode(o.speed).value_or(0);
    config.loadCentiamps = o.loadCentiamps;
    config.faultCentiamps = o.faultCentiamps;
    config.noisePercent = o.noisePercent;
    config.inputHold = o.inputHold;
    config.seed = o.faults.seed;
    const TimePoint start = Clock::now();
    RelayModel model(config, start);
    for (const auto& [r, value] : o.setpoints)
        model.SetSetpoint(r, value, start);
    if (o.faultAt)
        model.ScheduleFault(start + *o.faultAt, start);
    return model;
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
    RelayModel model = MakeModel(options);
    if (options.printRegisters) {
        std::fputs(DescribeRegisters(model.Read()).c_str(), stdout);
        return 0;
    }

    const int stopFd = StopSignals();
    if (stopFd < 0) {
        std::perror("relay-sim: signalfd");
        return 1;
    }
    try {
        const auto line = OpenLine(options);
        ModbusSlave slave(line->Fd(), options.address);
        std::printf("relay-sim: relay at address %u, %u bit/s\n"
                    "PORT=%s\n"
                    "%s\n"
                    "keys: f fault, c clear fault, a acknowledge, q quit (each with Enter)\n",
                    options.address, options.speed, line->PortName().c_str(),
                    line->Where().c_str());
        std::fflush(stdout);
        Simulator simulator(options, model, *line, slave, stopFd, stdout);
        const bool clean = simulator.Run();
        std::printf("relay-sim: stopped\n");
        return clean ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "relay-sim: %s\n", e.what());
        return 1;
    }
}
