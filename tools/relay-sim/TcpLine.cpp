#include "TcpLine.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace relaysim {
namespace {

// "127.0.0.1:502" or "[::1]:502".
std::string HostPort(const sockaddr_storage& address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(a.sin6_port));
    }
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(a.sin_port));
}

sockaddr_storage SocketAddress(const TcpAddress& address)
{
    sockaddr_storage storage{};
    if (address.host.find(':') != std::string::npos) {
        auto& a = reinterpret_cast<sockaddr_in6&>(storage);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(address.port);
        ::inet_pton(AF_INET6, address.host.c_str(), &a.sin6_addr);
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(storage);
        a.sin_family = AF_INET;
        a.sin_port = htons(address.port);
        ::inet_pton(AF_INET, address.host.c_str(), &a.sin_addr);
    }
    return storage;
}

} // namespace

TcpLine::TcpLine(const TcpAddress& address)
{
    sockaddr_storage bound = SocketAddress(address);
    const std::string asked = HostPort(bound);
    listener_ = ::socket(bound.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throw std::runtime_error("cannot listen on " + asked + ": " + std::strerror(errno));
    // A restart on the same port must not wait for the last run's TIME_WAIT.
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    socklen_t length = sizeof bound;
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&bound), length) != 0
        || ::listen(listener_, 4) != 0
        || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(listener_);
        throw std::runtime_error("cannot listen on " + asked + ": " + reason);
    }
    address_ = HostPort(bound);
}

TcpLine::~TcpLine()
{
    if (client_ >= 0)
        ::close(client_);
    ::close(listener_);
}

std::string TcpLine::Where() const
{
    return "listening on " + address_ + ", one client at a time";
}

std::string TcpLine::Accept()
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return {};  // gone again before we took it
    if (client_ >= 0) {
        ::close(fd);
        return "client " + HostPort(peer) + " refused: " + peer_ + " is connected";
    }
    // A reply goes out in one write; it must not wait for the client's
    // acknowledgement of the previous one.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client_ = fd;
    peer_ = HostPort(peer);
    return "client " + peer_ + " connected";
}

std::optional<std::string> TcpLine::Release()
{
    if (client_ >= 0)
        ::close(client_);
    client_ = -1;
    return "client " + peer_ + " gone; waiting for the next";
}

void TcpLine::Write(std::span<const uint8_t> bytes)
{
    // A client gone meanwhile makes this fail quietly (SIGPIPE is ignored);
    // the next read finds it gone.
    WriteAll(client_, bytes);
}

bool TcpLine::Drain()
{
    return DrainInput(client_);
}

} // namespace relaysim
