// The simulator under Wine: asked of scripts/test-windows' sim-launcher, at
// the address in ZARIT_SIM_LAUNCHER, over the loopback. The connection is the
// simulator's life: closing it ends the simulator.

#include "SimRelay.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <stdexcept>

namespace {

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

SOCKET Connect(const std::string& address)
{
    const auto colon = address.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("ZARIT_SIM_LAUNCHER is not HOST:PORT: '" + address + "'");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(std::stoi(address.substr(colon + 1))));
    if (::inet_pton(AF_INET, address.substr(0, colon).c_str(), &to.sin_addr) != 1)
        throw std::runtime_error("ZARIT_SIM_LAUNCHER is not HOST:PORT: '" + address + "'");
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        throw std::runtime_error("no sim-launcher at " + address);
    return s;
}

} // namespace

struct SimRelay::Impl {
    SOCKET socket = INVALID_SOCKET;
    std::string port;
    std::string received;

    void Send(const std::string& line)
    {
        const std::string text = line + "\n";
        ::send(socket, text.data(), static_cast<int>(text.size()), 0);
    }
    // The launcher answers each line at once, after at most a simulator's start.
    std::string Receive()
    {
        for (;;) {
            const auto end = received.find('\n');
            if (end != std::string::npos) {
                std::string line = received.substr(0, end);
                received.erase(0, end + 1);
                return line;
            }
            char buffer[1024];
            const int got = ::recv(socket, buffer, sizeof buffer, 0);
            if (got <= 0)
                return "error\tthe launcher closed the connection";
            received.append(buffer, static_cast<std::size_t>(got));
        }
    }
};

SimRelay::SimRelay(std::vector<std::string> options, std::string port) : p_(new Impl)
{
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    p_->socket = Connect(Environment("ZARIT_SIM_LAUNCHER"));
    std::string request = "start\t" + std::string(Environment("ZARIT_SIM_OVER") == "tcp" ? "tcp" : "com") + "\t" + port;
    for (const std::string& option : options)
        request += "\t" + option;
    p_->Send(request);
    const std::string answer = p_->Receive();
    if (answer.rfind("ok\t", 0) != 0)
        throw std::runtime_error("sim-launcher: " + answer);
    p_->port = answer.substr(3);
}

SimRelay::~SimRelay()
{
    ::closesocket(p_->socket);
    ::WSACleanup();
}

bool SimRelay::WaitForPort()
{
    // The launcher answers once the port is there.
    return !p_->port.empty();
}

const std::string& SimRelay::Port() const
{
    return p_->port;
}

void SimRelay::Stop()
{
    p_->Send("stop");
    p_->Receive();
}
