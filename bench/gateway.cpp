// zaritmon-station's Modbus TCP gateway on three simulated relays at 38400
// bit/s polled at interval 0, masters on the loopback with libmodbus:
//  - 32 clients, each its own connection and thread, each reading the 46
//    polled registers of a relay 10 times a second: request to reply, p50
//    and p99 (answered from the last poll, never at the line);
//  - the line's polling meanwhile, counted at the relays (relay-sim -v),
//    against the same without clients, as a share of what the wire carries
//    (a poll is request, 3.5 characters of silence and reply, 10 bits a
//    character);
//  - a coil write passed through to relay 2 between polls: p50 and p99,
//    against one poll's exchange plus the write's own.
//
//   build/bench/gateway [seconds-per-run]   (10 by default)

#include "SimProcess.h"

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kSpeed = 38400;
constexpr int kClients = 32;
constexpr int kReadsPerSecond = 10;
constexpr int kRegisters = 46;
constexpr int kWrites = 50;
constexpr double kPollRequest = 8, kPollReply = 5 + 2 * kRegisters, kWriteFrame = 8, kSilence = 3.5;

double WireMs(double characters)
{
    return characters * 10.0 * 1000.0 / kSpeed;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// A connection of its own to the gateway, talking to one relay.
class Master {
public:
    Master(int port, int relay) : ctx_(modbus_new_tcp("127.0.0.1", port))
    {
        if (!ctx_ || modbus_set_slave(ctx_, relay) != 0 || modbus_connect(ctx_) != 0) {
            std::fprintf(stderr, "no connection to the gateway: %s\n", modbus_strerror(errno));
            std::exit(1);
        }
    }
    ~Master()
    {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    Master(const Master&) = delete;
    Master& operator=(const Master&) = delete;
    modbus_t* operator*() const { return ctx_; }

private:
    modbus_t* ctx_;
};

// Polls seen by the relays so far: each poll's request in the simulator's
// output. The clients' reads never reach the line, so every such read is a poll.
std::size_t PollsSeen(const SimProcess& sim)
{
    const std::string output = sim.Output();
    std::size_t n = 0;
    for (std::size_t at = output.find("request: "); at != std::string::npos; at = output.find("request: ", at + 1))
        n += output.compare(at + 11, 16, " 03 00 00 00 2E ") == 0;
    return n;
}

double PollsPerSecond(const SimProcess& sim, std::chrono::seconds window)
{
    const std::size_t before = PollsSeen(sim);
    const auto start = Clock::now();
    std::this_thread::sleep_for(window);
    const std::size_t after = PollsSeen(sim);
    return static_cast<double>(after - before) / std::chrono::duration<double>(Clock::now() - start).count();
}

struct Reads {
    std::vector<double> ms;
    std::size_t failed = 0;
};

// Each client at its own phase of the tenth of a second, paced by the clock
// rather than by its replies, for the whole window.
Reads ReadAtTenPerSecond(int port, int seconds)
{
    std::vector<Reads> each(kClients);
    std::vector<std::thread> threads;
    const auto start = Clock::now() + 200ms;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / kReadsPerSecond;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([&, c] {
            Master master(port, 1 + c % 3);
            Reads& mine = each[static_cast<std::size_t>(c)];
            uint16_t registers[kRegisters];
            auto next = start + period * c / kClients;
            for (int i = 0; i < seconds * kReadsPerSecond; ++i, next += period) {
                std::this_thread::sleep_until(next);
                const auto sent = Clock::now();
                if (modbus_read_registers(*master, 0, kRegisters, registers) == kRegisters)
                    mine.ms.push_back(Ms(Clock::now() - sent));
                else
                    ++mine.failed;
            }
        });
    for (std::thread& t : threads)
        t.join();
    Reads all;
    for (const Reads& r : each) {
        all.ms.insert(all.ms.end(), r.ms.begin(), r.ms.end());
        all.failed += r.failed;
    }
    return all;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: %s [seconds-per-run]\n", argv[0]);
        return 2;
    }
    SimProcess sim({"--units", "1,2,3", "--speed", std::to_string(kSpeed), "--noise", "0", "--verbose"});
    if (!sim.WaitForLink()) {
        std::fprintf(stderr, "the simulator did not start: %s\n", sim.Output().c_str());
        return 1;
    }
    const std::string dir = sim.Directory();
    std::ofstream(dir + "/ZaritMon.ini", std::ios::binary)
        << "[Config]\r\nPORT=" << sim.Link() << "\r\nSPEED=" << kSpeed << "\r\nREFRESHINTERVAL=0\r\n"
        << "[Relays]\r\n1=\r\n2=\r\n3=\r\n[Gateway]\r\nLISTEN=127.0.0.1:0\r\nWRITERS=127.0.0.1\r\nMAXCLIENTS="
        << kClients + 8 << "\r\n";
    SimProcess station(SimProcess::Program{STATION_PATH, {"--config", dir + "/ZaritMon.ini", "--state", dir}});
    const std::string listening = "шлюз Modbus TCP слушает 127.0.0.1:";
    if (!station.WaitForOutput(listening, 10s)) {
        std::fprintf(stderr, "the gateway did not start:\n%s", station.Output().c_str());
        return 1;
    }
    const std::string output = station.Output();
    const int port = std::atoi(output.c_str() + output.find(listening) + listening.size());

    // Every relay answered through the gateway: its polls are under way.
    for (int relay = 1; relay <= 3; ++relay) {
        Master master(port, relay);
        uint16_t registers[kRegisters];
        const auto end = Clock::now() + 10s;
        while (modbus_read_registers(*master, 0, kRegisters, registers) != kRegisters) {
            if (Clock::now() > end) {
                std::fprintf(stderr, "relay %d never answered through the gateway:\n%s", relay, station.Output().c_str());
                return 1;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    const double pollMs = WireMs(kPollRequest + kSilence + kPollReply);
    const double limit = 1000.0 / pollMs;
    std::printf("gateway on three relays at %d bit/s, interval 0, %d s a run; the line's limit %.2f polls/s\n", kSpeed,
                seconds, limit);
    const double alone = PollsPerSecond(sim, std::chrono::seconds(seconds));
    std::printf("polling without clients:    %6.2f polls/s, %5.1f%% of the wire\n", alone, 100.0 * alone / limit);

    std::atomic<double> shared{0};
    std::thread counter([&] {
        std::this_thread::sleep_for(1s);  // past the clients' connecting
        shared = PollsPerSecond(sim, std::chrono::seconds(std::max(seconds - 2, 1)));
    });
    const Reads reads = ReadAtTenPerSecond(port, seconds);
    counter.join();
    std::printf("%d clients, %d reads/s each: %zu reads, p50 %.2f ms, p99 %.2f ms, max %.2f ms, failed %zu\n", kClients,
                kReadsPerSecond, reads.ms.size(), Percentile(reads.ms, 0.5), Percentile(reads.ms, 0.99),
                Percentile(reads.ms, 1.0), reads.failed);
    std::printf("polling with them:          %6.2f polls/s, %5.1f%% of the wire, %5.1f%% of polling without\n",
                shared.load(), 100.0 * shared / limit, 100.0 * shared / alone);

    Master writer(port, 2);
    std::vector<double> writes;
    std::size_t refused = 0;
    for (int i = 0; i < kWrites; ++i) {
        // At a different place in the round each time.
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + 7 * i % 31));
        const auto sent = Clock::now();
        if (modbus_write_bit(*writer, 0, TRUE) == 1)
            writes.push_back(Ms(Clock::now() - sent));
        else
            ++refused;
    }
    // The fastest write met no poll at the line: its own exchange, as the
    // master and the line take it.
    const double own = Percentile(writes, 0);
    std::printf("a poll's exchange: %.1f ms on the wire, %.1f ms measured at interval 0; a coil write's own: %.1f ms "
                "on the wire, %.1f ms the fastest through the gateway\n",
                pollMs, 1000.0 / alone, WireMs(kWriteFrame + kSilence + kWriteFrame), own);
    std::printf("coil write through the gateway: %zu writes, p50 %.1f ms, p99 %.1f ms (a poll's exchange plus the "
                "write's own: %.1f ms), failed %zu\n",
                writes.size(), Percentile(writes, 0.5), Percentile(writes, 0.99), 1000.0 / alone + own, refused);
    station.Stop(SIGTERM, 10s);
    return 0;
}
