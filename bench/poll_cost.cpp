// Cost of one 46-register poll: our master next to libmodbus's own
// modbus_read_registers, both against the same libmodbus slave on an unpaced
// pseudo-terminal, and again over Modbus TCP against the same libmodbus TCP
// server on the loopback. Prints wall and CPU time per read of the polling
// thread.
//
//   build/bench/poll_cost [reads-per-round]

#include "DeviceLink.h"
#include "support/LibmodbusSlave.h"
#include "support/LibmodbusTcpServer.h"

#include <modbus/modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <vector>

namespace {

struct Cost {
    double wallUs = 0;
    double cpuUs = 0;
    int failures = 0;
};

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// `read` returns whether the poll succeeded.
Cost Measure(int reads, const std::function<bool()>& read)
{
    for (int i = 0; i < 20; ++i)
        read();  // warm up the line and the caches
    Cost cost;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ThreadCpuSeconds();
    for (int i = 0; i < reads; ++i)
        cost.failures += read() ? 0 : 1;
    const double cpu = ThreadCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.wallUs = wall * 1e6 / reads;
    cost.cpuUs = cpu * 1e6 / reads;
    return cost;
}

Cost OurMaster(const std::string& path, int reads)
{
    // The link as the program builds it; logging is part of what a poll costs.
    DeviceLink link({.portName = path});
    if (!link.Port().IsOpen()) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    uint16_t dest[46];
    return Measure(reads, [&] { return link.Master().ReadHoldingRegisters(dest, 0, 46); });
}

Cost Libmodbus(const std::string& path, int reads)
{
    modbus_t* ctx = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
    if (!ctx || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus cannot open %s\n", path.c_str());
        std::exit(1);
    }
    modbus_set_slave(ctx, 1);
    uint16_t dest[46];
    const Cost cost = Measure(reads, [&] { return modbus_read_registers(ctx, 0, 46, dest) == 46; });
    modbus_close(ctx);
    modbus_free(ctx);
    return cost;
}

Cost OurMasterTcp(const std::string& address, int reads)
{
    DeviceLink link({.portName = address});
    uint16_t dest[46];
    return Measure(reads, [&] { return link.Master().ReadHoldingRegisters(dest, 0, 46); });
}

Cost LibmodbusTcp(uint16_t port, int reads)
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus cannot connect to port %u\n", port);
        std::exit(1);
    }
    uint16_t dest[46];
    const Cost cost = Measure(reads, [&] { return modbus_read_registers(ctx, 0, 46, dest) == 46; });
    modbus_close(ctx);
    modbus_free(ctx);
    return cost;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int reads = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (reads <= 0) {
        std::fprintf(stderr, "usage: %s [reads-per-round]\n", argv[0]);
        return 2;
    }
    testing_support::PtyPair pty;
    testing_support::LibmodbusSlave slave(pty);
    testing_support::LibmodbusTcpServer server;

    struct Row {
        const char* name;
        std::function<Cost()> ours, theirs;
    };
    const Row rows[] = {
        {"RTU on an unpaced pty", [&] { return OurMaster(pty.DevicePath(), reads); },
         [&] { return Libmodbus(pty.DevicePath(), reads); }},
        {"Modbus TCP on the loopback", [&] { return OurMasterTcp(server.Address(), reads); },
         [&] { return LibmodbusTcp(server.Port(), reads); }},
    };
    int failures = 0;
    std::printf("46-register read, median of 5 rounds of %d reads\n", reads);
    std::printf("%-28s %-22s %12s %12s\n", "", "", "wall us/read", "CPU us/read");
    for (const Row& row : rows) {
        std::vector<double> oursWall, oursCpu, theirsWall, theirsCpu;
        for (int round = 0; round < 5; ++round) {
            const Cost ours = row.ours();
            const Cost theirs = row.theirs();
            oursWall.push_back(ours.wallUs);
            oursCpu.push_back(ours.cpuUs);
            theirsWall.push_back(theirs.wallUs);
            theirsCpu.push_back(theirs.cpuUs);
            failures += ours.failures + theirs.failures;
        }
        const double ow = Median(oursWall), oc = Median(oursCpu);
        const double tw = Median(theirsWall), tc = Median(theirsCpu);
        std::printf("%-28s %-22s %12.1f %12.1f\n", row.name, "our master", ow, oc);
        std::printf("%-28s %-22s %12.1f %12.1f\n", "", "libmodbus", tw, tc);
        std::printf("%-28s %-22s %12.2f %12.2f\n", "", "ratio ours/libmodbus", ow / tw, oc / tc);
    }
    if (failures)
        std::printf("failed reads: %d\n", failures);
    return failures ? 1 : 0;
}
