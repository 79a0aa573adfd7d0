#include "TcpRelay.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {
namespace {

bool Readable(int fd, int timeoutMs)
{
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & (POLLIN | POLLHUP));
}

// Exactly n bytes, each within timeoutMs of the one before; false when the
// client goes or falls silent first.
bool ReadExactly(int fd, Bytes& into, std::size_t n, int timeoutMs)
{
    while (into.size() < n) {
        if (!Readable(fd, timeoutMs))
            return false;
        uint8_t chunk[512];
        const ssize_t r = ::recv(fd, chunk, std::min(sizeof chunk, n - into.size()), 0);
        if (r <= 0)
            return false;
        into.insert(into.end(), chunk, chunk + r);
    }
    return true;
}

sockaddr_storage Address(const std::string& host, uint16_t port, socklen_t& len)
{
    sockaddr_storage a{};
    if (host.find(':') != std::string::npos) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&a);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        ::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr);
        len = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&a);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        ::inet_pton(AF_INET, host.c_str(), &v4->sin_addr);
        len = sizeof *v4;
    }
    return a;
}

int BoundSocket(const std::string& host, uint16_t port)
{
    socklen_t len = 0;
    const sockaddr_storage a = Address(host, port, len);
    const int fd = ::socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&a), len) != 0)
        throw std::runtime_error("TcpRelay: cannot bind to " + host);
    return fd;
}

} // namespace

Bytes RtuToMbap(uint16_t transaction, const Bytes& rtu)
{
    const auto length = static_cast<uint16_t>(rtu.size() - 2);  // the unit and the PDU
    Bytes frame(6 + length);
    frame[0] = static_cast<uint8_t>(transaction >> 8);
    frame[1] = static_cast<uint8_t>(transaction & 0xFF);
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length & 0xFF);
    std::copy(rtu.begin(), rtu.end() - 2, frame.begin() + 6);
    return frame;
}

TcpRelay::TcpRelay(Framing framing, std::string host, bool listen) : framing_(framing), host_(std::move(host))
{
    // A port that is free now; Listen() binds it again later.
    listenFd_ = BoundSocket(host_, 0);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    if (listen) {
        Listen();
    } else {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

TcpRelay::~TcpRelay()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (clientFd_ >= 0)
        ::close(clientFd_);
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

void TcpRelay::Listen()
{
    if (listenFd_ < 0)
        listenFd_ = BoundSocket(host_, port_);
    ::listen(listenFd_, 4);
    thread_ = std::thread([this] { Run(); });
}

std::string TcpRelay::Address() const
{
    const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return std::string(framing_ == Framing::Mbap ? "mbtcp://" : "tcp://") + host + ":" + std::to_string(port_);
}

std::vector<TcpRelay::Clock::time_point> TcpRelay::Accepted() const
{
    std::lock_guard lock(acceptedMutex_);
    return accepted_;
}

int TcpRelay::Waiting() const
{
    int n = 0;
    const int fd = clientFd_;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

Bytes TcpRelay::Good(RelayAnswers& answers, const Bytes& request)
{
    if (framing_ == Framing::Rtu)
        return answers.GoodReply(request);
    // The gateway's answer is the relay's RTU answer with an MBAP header.
    Bytes rtu(request.begin() + 6, request.end());
    rtu = WithCrc(rtu);
    const Bytes reply = answers.GoodReply(rtu);
    return reply.empty() ? reply : RtuToMbap(static_cast<uint16_t>(request[0] << 8 | request[1]), reply);
}

void TcpRelay::Run()
{
    while (!stop_) {
        if (clientFd_ < 0) {
            if (!Readable(listenFd_, 20))
                continue;
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            clientFd_ = fd;
            std::lock_guard lock(acceptedMutex_);
            accepted_.push_back(Clock::now());
        }
        if (!Readable(clientFd_, 20) || !BusyIfWaiting())
            continue;
        Bytes request;
        if (!ReadRequest(request)) {
            // The client went: wait for the next one.
            ::close(clientFd_);
            clientFd_ = -1;
            Idle();
            continue;
        }
        Perform(Answer(request));
        Idle();
    }
}

bool TcpRelay::ReadRequest(Bytes& request)
{
    if (framing_ == Framing::Mbap) {
        if (!ReadExactly(clientFd_, request, 7, 200))
            return false;
        const std::size_t length = static_cast<std::size_t>(request[4] << 8 | request[5]);
        return ReadExactly(clientFd_, request, 6 + length, 200);
    }
    // RTU: functions 3 and 5 have 8-byte requests; anything else ends with
    // 20 ms of silence, as a slave frames by the line going quiet.
    if (!ReadExactly(clientFd_, request, 2, 200))
        return false;
    if (request[1] == 0x03 || request[1] == 0x05)
        return ReadExactly(clientFd_, request, 8, 200);
    while (Readable(clientFd_, 20)) {
        uint8_t chunk[256];
        const ssize_t r = ::recv(clientFd_, chunk, sizeof chunk, 0);
        if (r <= 0)
            break;
        request.insert(request.end(), chunk, chunk + r);
    }
    return true;
}

void TcpRelay::Perform(const Reply& reply)
{
    for (const Send& step : reply) {
        if (step.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
        if (step.hangUp) {
            ::close(clientFd_);
            clientFd_ = -1;
            return;
        }
        if (!step.bytes.empty())
            ::send(clientFd_, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
    }
}

} // namespace testing_support
