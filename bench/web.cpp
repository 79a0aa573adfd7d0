// zaritmon-station's web server on simulated relays at 38400 bit/s polled at
// interval 0, clients on the loopback:
//  - the page's weight: its files and the line's JSON, in bytes;
//  - /metrics with 32 relays: a scrape's time from connect to the last byte,
//    p50, p99 and max;
//  - the station's CPU (user + system, from /proc) with no page open and
//    with 50 live pages (each an open event stream, read as a browser does),
//    on three relays and on 32.
//
//   build/bench/web [seconds-per-run]   (10 by default)

#include "SimProcess.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kPages = 50;
constexpr int kScrapes = 300;

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

int Connect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

// The whole reply's body to a GET.
std::string Get(int port, const std::string& path)
{
    const int fd = Connect(port);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char chunk[65536];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
        reply.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    const std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

// The station's CPU time so far, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Past the command's closing parenthesis: state is field 3, utime 14, stime 15.
    std::size_t at = stat.rfind(')') + 2;
    for (int field = 3; field < 14; ++field)
        at = stat.find(' ', at) + 1;
    const double utime = std::atof(stat.c_str() + at);
    const double stime = std::atof(stat.c_str() + stat.find(' ', at) + 1);
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Station {
    explicit Station(int relays)
        : sim([&] {
              std::string units;
              for (int r = 1; r <= relays; ++r)
                  units += (r > 1 ? "," : "") + std::to_string(r);
              return SimProcess({"--units", units, "--speed", "38400"});
          }())
    {
        if (!sim.WaitForLink()) {
            std::fprintf(stderr, "the simulator did not start: %s\n", sim.Output().c_str());
            std::exit(1);
        }
        const std::string dir = sim.Directory();
        std::ofstream ini(dir + "/ZaritMon.ini", std::ios::binary);
        ini << "[Config]\r\nPORT=" << sim.Link() << "\r\nSPEED=38400\r\nREFRESHINTERVAL=0\r\n[Relays]\r\n";
        for (int r = 1; r <= relays; ++r)
            ini << r << "=\r\n";
        ini << "[Web]\r\nLISTEN=127.0.0.1:0\r\n";
        ini.close();
        station = std::make_unique<SimProcess>(
            SimProcess::Program{STATION_PATH, {"--config", dir + "/ZaritMon.ini", "--state", dir}});
        const std::string said = "веб-страница: http://127.0.0.1:";
        if (!station->WaitForOutput(said, 10s)) {
            std::fprintf(stderr, "the page did not open:\n%s", station->Output().c_str());
            std::exit(1);
        }
        const std::string out = station->Output();
        port = std::atoi(out.c_str() + out.find(said) + said.size());
        // Every relay answered once: polling is under way.
        const std::string last = "\"address\":" + std::to_string(relays) + ",";
        for (const auto end = Clock::now() + 30s;; std::this_thread::sleep_for(50ms)) {
            const std::string line = Get(port, "/api/line");
            const std::size_t at = line.find(last);
            if (at != std::string::npos && line.find("\"Ia\":null", at) == std::string::npos)
                break;
            if (Clock::now() > end) {
                std::fprintf(stderr, "relay %d never answered\n", relays);
                std::exit(1);
            }
        }
    }
    ~Station() { station->Stop(SIGTERM, 10s); }

    SimProcess sim;
    std::unique_ptr<SimProcess> station;
    int port = 0;
};

// The station's share of a core over the window, with `pages` streams open
// and read meanwhile.
double CpuShare(const Station& s, int pages, std::chrono::seconds window, std::size_t* bytes)
{
    std::vector<int> streams;
    for (int i = 0; i < pages; ++i) {
        const int fd = Connect(s.port);
        const std::string request = "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        streams.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> read{0};
    std::thread reader([&] {
        std::vector<pollfd> fds;
        for (const int fd : streams)
            fds.push_back({fd, POLLIN, 0});
        char chunk[65536];
        while (!stop)
            if (::poll(fds.data(), fds.size(), 100) > 0)
                for (pollfd& p : fds)
                    if (p.revents & POLLIN) {
                        const ssize_t n = ::recv(p.fd, chunk, sizeof chunk, 0);
                        read += n > 0 ? static_cast<std::size_t>(n) : 0;
                    }
    });
    std::this_thread::sleep_for(1s);  // past the streams' first lines
    const std::size_t readBefore = read;
    const double before = CpuSeconds(s.station->Pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(window);
    const double share = (CpuSeconds(s.station->Pid()) - before)
                         / std::chrono::duration<double>(Clock::now() - start).count();
    *bytes = read - readBefore;
    stop = true;
    reader.join();
    for (const int fd : streams)
        ::close(fd);
    return share;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: %s [seconds-per-run]\n", argv[0]);
        return 2;
    }
    const auto window = std::chrono::seconds(seconds);
    for (const int relays : {3, 32}) {
        Station s(relays);
        if (relays == 3) {
            std::size_t total = 0;
            for (const char* file : {"/", "/app.js", "/style.css", "/favicon.svg", "/api/line"}) {
                const std::size_t size = Get(s.port, file).size();
                std::printf("%-13s %7zu bytes\n", file, size);
                total += size;
            }
            std::printf("the page with the line of 3 relays: %zu bytes\n", total);
        } else {
            std::vector<double> ms;
            std::size_t size = 0;
            for (int i = 0; i < kScrapes; ++i) {
                const auto start = Clock::now();
                size = Get(s.port, "/metrics").size();
                ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
            std::printf("/metrics with 32 relays: %zu bytes, %d scrapes: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                        size, kScrapes, Percentile(ms, 0.5), Percentile(ms, 0.99), Percentile(ms, 1.0));
        }
        std::size_t idleBytes = 0, bytes = 0;
        const double idle = CpuShare(s, 0, window, &idleBytes);
        const double busy = CpuShare(s, kPages, window, &bytes);
        std::printf("%d relays at interval 0: station CPU %.1f%% of a core with no page, %.1f%% with %d live pages "
                    "(+%.1f%%; %.0f KB/s to them)\n",
                    relays, 100 * idle, 100 * busy, kPages, 100 * (busy - idle),
                    static_cast<double>(bytes) / 1024 / seconds);
    }
    return 0;
}
