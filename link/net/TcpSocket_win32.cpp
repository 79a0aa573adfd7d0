#include "TcpSocket.h"

#include "Deadline.h"
#include "SystemText_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <mutex>

namespace {

// How often a connect in progress looks whether it is to give up.
constexpr int kCancelCheckMs = 50;

// Winsock wants starting once per process before any other call.
void StartWinsock()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

std::string SystemError(int error)
{
    return SystemText(static_cast<unsigned long>(error));
}

// The one place a WSA error becomes the link's reason; 0 is the far end's
// orderly close.
PortProblem Classify(const char* step, int error)
{
    PortProblem p{PortProblem::Kind::Other, step, error, error ? SystemError(error) : std::string(), {}};
    switch (error) {
    case 0:
    case WSAECONNRESET:
    case WSAECONNABORTED: p.kind = PortProblem::Kind::ClosedByServer; break;
    case WSAECONNREFUSED: p.kind = PortProblem::Kind::Refused; break;
    case WSAETIMEDOUT: p.kind = PortProblem::Kind::NoAnswer; break;
    default: break;
    }
    return p;
}

SOCKET Handle(intptr_t handle)
{
    return static_cast<SOCKET>(handle);
}

void SetOptions(SOCKET s)
{
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Probes after 5 s of silence, every 2 s: a device server switched off
    // is noticed within seconds, not the system's two hours.
    tcp_keepalive alive{1, 5000, 2000};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &alive, sizeof alive, nullptr, 0, &returned, nullptr, nullptr);
}

// The outcome of a non-blocking connect on s: the socket, or INVALID_SOCKET.
SOCKET AwaitConnect(SOCKET s, const Deadline& limit, const std::atomic<bool>& cancel, int& error)
{
    for (;;) {
        if (cancel) {
            error = WSAEINTR;
            break;
        }
        WSAPOLLFD pfd{s, POLLOUT, 0};
        const int rc = WSAPoll(&pfd, 1, std::min(limit.RemainingMs(), kCancelCheckMs));
        if (rc == 0) {
            if (!limit.Expired())
                continue;
            error = WSAETIMEDOUT;
            break;
        }
        int soError = 0;
        int len = sizeof soError;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
        if (rc > 0 && soError == 0 && !(pfd.revents & (POLLERR | POLLHUP)))
            return s;
        error = rc < 0 ? WSAGetLastError() : soError ? soError : WSAECONNREFUSED;
        break;
    }
    closesocket(s);
    return INVALID_SOCKET;
}

SOCKET ConnectOne(const addrinfo& ai, const Deadline& limit, const std::atomic<bool>& cancel, int& error)
{
    const SOCKET s = ::socket(ai.ai_family, ai.ai_socktype, ai.ai_protocol);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    SetOptions(s);
    if (::connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) == 0)
        return s;
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        error = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    return AwaitConnect(s, limit, cancel, error);
}

} // namespace

bool TcpSocket::Connect(const std::string& host, uint16_t port, int timeoutMs, const std::atomic<bool>& cancel)
{
    Close();
    StartWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    // Every failure of the lookup (WSAHOST_NOT_FOUND, WSANO_DATA,
    // WSATRY_AGAIN, ...) leaves the name without an address.
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        failure_ = {PortProblem::Kind::NameNotFound, "getaddrinfo", rc, SystemError(rc), {}};
        return false;
    }
    int lastError = WSAECONNREFUSED;
    for (addrinfo* ai = found; ai && handle_ == kNone && !cancel; ai = ai->ai_next) {
        const SOCKET s = ConnectOne(*ai, Deadline::In(std::chrono::milliseconds(timeoutMs)), cancel, lastError);
        if (s != INVALID_SOCKET)
            handle_ = static_cast<intptr_t>(s);
    }
    freeaddrinfo(found);
    failure_ = handle_ == kNone ? Classify("connect", lastError) : PortProblem{};
    return handle_ != kNone;
}

void TcpSocket::Close()
{
    if (handle_ != kNone)
        closesocket(Handle(handle_));
    handle_ = kNone;
}

TcpSocket::Wait TcpSocket::WaitReadable(int ms)
{
    WSAPOLLFD pfd{Handle(handle_), POLLRDNORM, 0};
    const int rc = WSAPoll(&pfd, 1, ms);
    if (rc == 0)
        return Wait::TimedOut;
    // A hang-up with bytes still queued is read first; the read finds the end.
    if (rc > 0 && (pfd.revents & (POLLRDNORM | POLLHUP | POLLERR)))
        return Wait::Readable;
    failure_ = Classify("poll", rc < 0 ? WSAGetLastError() : WSAENOTSOCK);
    return Wait::Failed;
}

int TcpSocket::Receive(uint8_t* buffer, int n)
{
    const int r = recv(Handle(handle_), reinterpret_cast<char*>(buffer), n, 0);
    if (r > 0)
        return r;
    const int error = r < 0 ? WSAGetLastError() : 0;
    if (error == WSAEWOULDBLOCK)
        return -1;
    failure_ = Classify("recv", error);
    return 0;
}

int TcpSocket::Send(const uint8_t* buffer, int n, int timeoutMs)
{
    const Deadline limit = Deadline::In(std::chrono::milliseconds(timeoutMs));
    int done = 0;
    while (done < n) {
        const int w = send(Handle(handle_), reinterpret_cast<const char*>(buffer + done), n - done, 0);
        if (w > 0) {
            done += w;
            continue;
        }
        const int error = w < 0 ? WSAGetLastError() : 0;
        if (error == WSAEWOULDBLOCK && !limit.Expired()) {
            WSAPOLLFD pfd{Handle(handle_), POLLWRNORM, 0};
            WSAPoll(&pfd, 1, limit.RemainingMs());
            continue;
        }
        failure_ = Classify("send", error == WSAEWOULDBLOCK ? WSAETIMEDOUT : error);
        break;
    }
    return done;
}

int TcpSocket::Available()
{
    u_long count = 0;
    return ioctlsocket(Handle(handle_), FIONREAD, &count) == 0 ? static_cast<int>(count) : 0;
}
