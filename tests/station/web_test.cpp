// The station's web server as browsers, Prometheus and attackers reach it:
// curl for HTTP(S) with digest and basic passwords, Debian's own OpenMetrics
// parser (python3-prometheus-client) for /metrics, raw sockets for what no
// browser sends.

#include "SimProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// What a shell command printed, and its exit status.
std::pair<int, std::string> Shell(const std::string& command)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return {-1, out};
    std::array<char, 4096> chunk;
    for (std::size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
        out.append(chunk.data(), n);
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// The station on the simulator's line with its page on a port of its choice.
struct WebStation {
    WebStation(const SimProcess& sim, const std::string& web)
        : station([&] {
              const fs::path ini = fs::path(sim.Directory()) / "ZaritMon.ini";
              // Relay 3's name in Windows-1251, with what a label must escape.
              std::ofstream(ini, std::ios::binary)
                  << "[Config]\r\nPORT=" << sim.Link() << "\r\nSPEED=38400\r\nREFRESHINTERVAL=0\r\n"
                  << "[Relays]\r\n1=\r\n2=\r\n3=\xDF\xF7\xE5\xE9\xEA\xE0 \"3\" \\ \xF0\xE5\xE7\xE5\xF0\xE2\r\n[Web]\r\n"
                  << web;
              return SimProcess::Program{STATION_PATH, {"--config", ini.string(), "--state", sim.Directory()}};
          }())
    {
        const std::string said = "веб-страница: ";
        if (!station.WaitForOutput(said, 10s))
            return;
        const std::string out = station.Output();
        const std::size_t at = out.find(said) + said.size();
        url = out.substr(at, out.find_first_of(" \n", at) - at);
        if (!url.empty() && url.back() == '/')
            url.pop_back();
        port = std::atoi(url.c_str() + url.rfind(':') + 1);
    }
    SimProcess station;
    std::string url;  // "http://127.0.0.1:PORT"
    int port = 0;
};

// The HTTP status curl got, and the body.
std::pair<int, std::string> Get(const std::string& url, const std::string& options = "")
{
    auto [status, out] = Shell("curl -s -k --max-time 20 -w '\\n%{http_code}' " + options + " '" + url + "'");
    const std::size_t last = out.rfind('\n');
    if (status != 0 || last == std::string::npos)
        return {0, out};
    return {std::atoi(out.c_str() + last + 1), out.substr(0, last)};
}

// What the station answers to these bytes, up to the first line end.
std::string StatusLine(int port, const std::string& request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char chunk[4096];
        for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;)
            reply.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

TEST(StationWeb, ShowsTheLineAndItsMetricsAndTurnsBadRequestsAway)
{
    SimProcess sim({"--units", "1,2,3", "--speed", "38400", "--noise", "0"});
    ASSERT_TRUE(sim.WaitForLink());
    WebStation web(sim, "LISTEN=127.0.0.1:0\r\n");
    ASSERT_GT(web.port, 0) << web.station.Output();

    // The simulator's load on each relay, as the overview shows it.
    const char* shown[] = {"2,50", "2,00", "1,67"};
    QJsonArray relays;
    for (const auto end = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < end;) {
        const auto [status, body] = Get(web.url + "/api/line");
        relays = QJsonDocument::fromJson(QByteArray::fromStdString(body)).object()["relays"].toArray();
        if (status == 200 && relays.size() == 3 && relays[2].toObject()["answered"].toInt() > 0)
            break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(relays.size(), 3) << web.station.Output();
    for (int i = 0; i < 3; ++i) {
        const QJsonObject relay = relays[i].toObject();
        EXPECT_EQ(relay["address"].toInt(), i + 1);
        EXPECT_EQ(relay["shown"].toArray()[0].toString().toStdString(), shown[i]);
        EXPECT_TRUE(relay["answering"].toBool());
    }

    // Every sample as the parser reads it: name, relay, current, value.
    const auto [parsed, samples] = Shell(
        "curl -s --max-time 20 " + web.url + "/metrics | /usr/bin/python3 -c '"
        "import sys\nfrom prometheus_client.openmetrics.parser import text_string_to_metric_families as p\n"
        "for f in p(sys.stdin.read()):\n for s in f.samples:\n"
        "  print(s.name, s.labels.get(\"relay\"), s.labels.get(\"current\"), repr(s.labels.get(\"name\")), s.value)'");
    ASSERT_EQ(parsed, 0) << samples;
    EXPECT_NE(samples.find("zaritmon_current_amperes 2 Ia '' 2.0\n"), std::string::npos) << samples;
    EXPECT_NE(samples.find("zaritmon_current_amperes 3 Ia 'Ячейка \"3\" \\\\ резерв' 1.67\n"), std::string::npos)
        << samples;
    EXPECT_NE(samples.find("zaritmon_port_open None None None 1\n"), std::string::npos) << samples;

    const std::string longText(20000, 'a');
    const struct {
        const char* what;
        std::string request;
    } bad[] = {
        {"dot segments", "GET /../../../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"encoded dots", "GET /%2e%2e/%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"encoded slashes", "GET /..%2f..%2f..%2fetc%2fpasswd HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"dots after a page", "GET /app.js/../../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"a long URL", "GET /api/line?" + longText + " HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"a long header", "GET / HTTP/1.1\r\nHost: x\r\nX-A: " + longText + "\r\n\r\n"},
        {"an unknown method", "BREW / HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"a writing method", "DELETE /api/line HTTP/1.1\r\nHost: x\r\n\r\n"},
    };
    for (const auto& b : bad) {
        const std::string reply = StatusLine(web.port, b.request);
        // CivetWeb answers what it cannot read as HTTP/1.0.
        EXPECT_TRUE(reply.starts_with("HTTP/1.") && reply.substr(8, 2) == " 4") << b.what << ": " << reply.substr(0, 200);
        EXPECT_EQ(reply.find("root:"), std::string::npos) << b.what;
    }

    // A flood of connections that never speak holds the server only until
    // they are closed or time out.
    std::vector<int> flood;
    for (int i = 0; i < 300; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(web.port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        flood.push_back(fd);
    }
    std::this_thread::sleep_for(500ms);
    for (const int fd : flood)
        ::close(fd);
    EXPECT_EQ(Get(web.url + "/api/line", "--retry 3 --retry-connrefused").first, 200) << web.station.Output();
    const SimProcess::Exit exit = web.station.Stop(SIGTERM, 20s);
    EXPECT_TRUE(exit.exited && exit.status == 0) << web.station.Output();
}

TEST(StationWeb, OverHttpsOnlyItsUsersGetIn)
{
    SimProcess sim({"--units", "1,2,3", "--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink());
    const std::string dir = sim.Directory();
    ASSERT_EQ(Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + dir
                  + "/key.pem -out " + dir + "/cert.pem 2>&1")
                  .first,
              0);
    // As htdigest writes it: user:realm:MD5(user:realm:password).
    ASSERT_EQ(Shell("printf 'op:zaritmon:%s' \"$(printf 'op:zaritmon:secret' | md5sum | cut -c1-32)\" > " + dir
                  + "/users")
                  .first,
              0);
    WebStation web(sim, "LISTEN=127.0.0.1:0\r\nCERTFILE=" + dir + "/cert.pem\r\nKEYFILE=" + dir
                            + "/key.pem\r\nPASSWORDFILE=" + dir + "/users\r\n");
    ASSERT_TRUE(web.url.starts_with("https://")) << web.station.Output();
    const std::string line = web.url + "/api/line";
    EXPECT_EQ(Get(line, "--digest -u op:secret").first, 200);
    EXPECT_EQ(Get(line, "--digest -u op:wrong").first, 401);
    EXPECT_EQ(Get(line, "--digest -u nobody:secret").first, 401);
    EXPECT_EQ(Get(line).first, 401);
    // Prometheus sends basic credentials; TLS hides them.
    EXPECT_EQ(Get(web.url + "/metrics", "-u op:secret").first, 200);
    EXPECT_EQ(Get(web.url + "/metrics", "-u op:wrong").first, 401);
    // Plain HTTP to the TLS port is no way in.
    EXPECT_NE(Get("http://127.0.0.1:" + std::to_string(web.port) + "/api/line", "--digest -u op:secret").first, 200);
}

} // namespace
