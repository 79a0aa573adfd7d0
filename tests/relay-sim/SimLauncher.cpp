// sim-launcher: starts relay simulators for the window tests that run under
// Wine, which cannot start a Linux program themselves. It listens on the
// loopback and prints LAUNCHER=127.0.0.1:N; each connection asks for one
// simulator with a line
//   start TAB com|tcp TAB [port of a stopped one] (TAB relay-sim option)...
// and gets "ok TAB PORT" (COMn, linked into the Wine prefix's dosdevices, or
// tcp://127.0.0.1:N) or "error TAB why". "stop" ends the simulator and is
// answered "stopped"; closing the connection ends it too.
//   sim-launcher --wineprefix DIR

#include "SimProcess.h"

#include <arpa/inet.h>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// COM5 and COM6 are the socat pair of the link tests.
constexpr int kFirstComNumber = 10;

struct Client {
    std::string received;
    std::unique_ptr<SimProcess> sim;
};

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (std::size_t tab; (tab = line.find('\t', at)) != std::string::npos; at = tab + 1)
        fields.push_back(line.substr(at, tab - at));
    fields.push_back(line.substr(at));
    return fields;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class Launcher {
public:
    Launcher(fs::path dosdevices, fs::path links) : dosdevices_(std::move(dosdevices)), links_(std::move(links)) {}

    // The answer to one request line.
    std::string Handle(Client& client, const std::string& line)
    {
        if (line == "stop") {
            if (client.sim)
                client.sim->Stop(SIGTERM);
            return "stopped";
        }
        std::vector<std::string> fields = Split(line);
        if (fields.size() < 3 || fields[0] != "start" || client.sim)
            return "error\tunexpected request";
        const std::string over = fields[1];
        const std::string port = fields[2];
        std::vector<std::string> options(fields.begin() + 3, fields.end());
        if (options.size() == 1 && options[0].empty())
            options.clear();
        return over == "tcp" ? StartOverTcp(client, port, options) : StartOnCom(client, port, options);
    }

private:
    std::string StartOnCom(Client& client, std::string port, const std::vector<std::string>& options)
    {
        if (port.empty())
            port = "COM" + std::to_string(nextCom_++);
        const fs::path link = links_ / Lower(port);
        client.sim = std::make_unique<SimProcess>(options, false, link.string());
        if (!client.sim->WaitForLink())
            return "error\tthe simulator made no line: " + client.sim->Output();
        // Wine looks the name up at every open; the link stays for a relay
        // started in the place of this one.
        const fs::path device = dosdevices_ / Lower(port);
        std::error_code error;
        if (!fs::is_symlink(device, error))
            fs::create_symlink(link, device, error);
        return error ? "error\t" + error.message() : "ok\t" + port;
    }

    std::string StartOverTcp(Client& client, const std::string& port, const std::vector<std::string>& options)
    {
        SimProcess::OverTcp tcp;
        if (!port.empty())
            tcp.port = static_cast<uint16_t>(std::stoi(port.substr(port.rfind(':') + 1)));
        client.sim = std::make_unique<SimProcess>(tcp, options);
        const std::string address = client.sim->WaitForAddress();
        return address.empty() ? "error\tthe simulator gave no port: " + client.sim->Output() : "ok\t" + address;
    }

    fs::path dosdevices_;
    fs::path links_;
    int nextCom_ = kFirstComNumber;
};

int Listen(uint16_t& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 8) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return fd;
}

void Reply(int fd, const std::string& text)
{
    const std::string line = text + "\n";
    (void)::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::strcmp(argv[1], "--wineprefix") != 0) {
        std::fprintf(stderr, "usage: sim-launcher --wineprefix DIR\n");
        return 2;
    }
    const fs::path prefix = argv[2];
    std::error_code error;
    const fs::path links = prefix / "sim-lines";
    fs::create_directories(links, error);
    Launcher launcher(prefix / "dosdevices", links);

    uint16_t port = 0;
    const int listener = Listen(port);
    if (listener < 0) {
        std::perror("sim-launcher: listen");
        return 1;
    }
    std::printf("LAUNCHER=127.0.0.1:%u\n", port);
    std::fflush(stdout);

    std::map<int, Client> clients;
    for (;;) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const auto& [fd, client] : clients)
            fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                clients[fd];
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const int fd = fds[i].fd;
            char buffer[4096];
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) {  // gone: its simulator goes with it
                clients.erase(fd);
                ::close(fd);
                continue;
            }
            Client& client = clients[fd];
            client.received.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = client.received.find('\n')) != std::string::npos;) {
                const std::string line = client.received.substr(0, end);
                client.received.erase(0, end + 1);
                Reply(fd, launcher.Handle(client, line));
            }
        }
    }
}
