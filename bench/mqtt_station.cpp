// zaritmon-station publishing four simulated relays at interval 0 (38400
// bit/s, every third reply dropped, so that the link's events come often) to
// Debian's mosquitto on the loopback, watched by mosquitto_sub:
//  - from a relay's answer (the state's "time") to its state message at the
//    subscriber: p50 and p99;
//  - the broker stopped for a while, then started again: the events of the
//    outage replayed from the event files, their rate, and the station's
//    resident memory before and after.
//
//   build/bench/mqtt_station [outage-seconds]   (600 by default)

#include "MosquittoBroker.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

double ResidentMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// "2026-12-08 07:35:44.213" as local time, in seconds since the epoch.
double LocalSeconds(const std::string& stamp)
{
    std::tm t{};
    int ms = 0;
    if (std::sscanf(stamp.c_str(), "%d-%d-%d %d:%d:%d.%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                    &t.tm_sec, &ms) != 7)
        return 0;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    t.tm_isdst = -1;
    return static_cast<double>(std::mktime(&t)) + ms / 1000.0;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

int main(int argc, char** argv)
{
    const int outage = argc > 1 ? std::atoi(argv[1]) : 600;
    if (outage < 1) {
        std::fprintf(stderr, "usage: %s [outage-seconds]\n", argv[0]);
        return 2;
    }
    SimProcess sim({"--units", "1,2,3,4", "--speed", "38400", "--drop", "1/3"});
    if (!sim.WaitForLink()) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    const std::string dir = sim.Directory();
    MosquittoBroker broker(dir);
    if (!broker.Start()) {
        std::fprintf(stderr, "mosquitto did not start: %s\n", broker.Output().c_str());
        return 1;
    }
    const std::string port = broker.Port();
    // A line as soon as a message is in, with the time it came.
    SimProcess subscriber(SimProcess::Program{
        "/usr/bin/stdbuf",
        {"-oL", "/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p", port, "-t", "bench/#", "-q", "1", "-c", "-i", "bench",
         "-F", "%U %t %p"}});
    std::ofstream(dir + "/ZaritMon.ini", std::ios::binary)
        << "[Config]\r\nPORT=" << sim.Link() << "\r\nSPEED=38400\r\nREFRESHINTERVAL=0\r\n[Relays]\r\n1=\r\n2=\r\n3=\r\n4=\r\n"
        << "[MQTT]\r\nHOST=127.0.0.1\r\nPORT=" << port << "\r\nTOPIC=bench\r\n";
    SimProcess station(SimProcess::Program{STATION_PATH, {"--config", dir + "/ZaritMon.ini", "--state", dir}});

    // Latency: the state messages of 30 s.
    std::this_thread::sleep_for(30s);
    std::vector<double> latencies;
    for (const std::string& line : Lines(subscriber.Output())) {
        const auto topic = line.find(' ');
        if (topic == std::string::npos || line.find("/state ", topic) == std::string::npos)
            continue;
        // Only the states of an answered poll: their time is that answer's.
        const auto time = line.find("{\"time\":\"");
        if (time == std::string::npos || line.find("\"link\":\"есть ответ\"") == std::string::npos)
            continue;
        const double sent = LocalSeconds(line.substr(time + 9, 23));
        latencies.push_back((std::atof(line.c_str()) - sent) * 1000.0);
    }
    std::sort(latencies.begin(), latencies.end());
    auto percentile = [&](double p) { return latencies.empty() ? 0.0 : latencies[static_cast<std::size_t>(p * (latencies.size() - 1))]; };
    std::printf("answer to state message at the subscriber: %zu messages, p50 %.1f ms, p99 %.1f ms\n",
                latencies.size(), percentile(0.5), percentile(0.99));

    const auto countEvents = [&] {
        std::size_t n = 0;
        for (const std::string& line : Lines(subscriber.Output()))
            n += line.find("/event {") != std::string::npos;
        return n;
    };
    const std::size_t before = countEvents();
    const double rssBefore = ResidentMiB(station.Pid());
    broker.Stop();
    std::printf("broker stopped for %d s; station %.1f MiB resident\n", outage, rssBefore);
    std::this_thread::sleep_for(std::chrono::seconds(outage));
    const double rssOutage = ResidentMiB(station.Pid());
    // Every event of the outage is in the files: the lines written by now.
    std::size_t written = 0;
    const std::string count = "cat " + dir + "/journal/ZaritMon-events-*.csv | grep -vc '^\xC2\xF0\xE5\xEC\xFF;'";
    if (FILE* pipe = ::popen(count.c_str(), "r")) {
        if (std::fscanf(pipe, "%zu", &written) != 1)
            written = 0;
        ::pclose(pipe);
    }
    broker.Start();
    // From the first event after the outage to the one that makes up the
    // events written by its end (header lines are not events), within 10
    // minutes: the replay, without the station's wait to reconnect.
    const auto start = std::chrono::steady_clock::now();
    std::size_t received = countEvents();
    std::chrono::steady_clock::time_point first{}, last{};
    while (received < written && std::chrono::steady_clock::now() - start < 600s) {
        std::this_thread::sleep_for(20ms);
        const std::size_t now = countEvents();
        if (now != received) {
            if (received == before)
                first = std::chrono::steady_clock::now();
            last = std::chrono::steady_clock::now();
        }
        received = now;
    }
    const double took = std::chrono::duration<double>(last - first).count();
    std::printf("after the outage: %zu events replayed in %.2f s from the first (%.0f events/s), %.1f s after the "
                "broker's restart; station %.1f MiB resident at the end of the outage, %.1f MiB after the replay\n",
                received - before, took, took > 0 ? (received - before) / took : 0.0,
                std::chrono::duration<double>(last - start).count(), rssOutage, ResidentMiB(station.Pid()));
    station.Stop(SIGTERM, 10s);
    return 0;
}
