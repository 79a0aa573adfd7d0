#include "TcpSocket.h"

#include "Deadline.h"
#include "SystemText_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <mutex>

namespace {

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

SOCKET ConnectOne(const addrinfo& ai, const Deadline& limit, int& error)
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
    WSAPOLLFD pfd{s, POLLOUT, 0};
    const int rc = WSAPoll(&pfd, 1, limit.RemainingMs());
    int soError = 0;
    int len = sizeof soError;
    getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
    if (rc <= 0 || soError != 0 || (pfd.revents & (POLLERR | POLLHUP))) {
        error = rc == 0 ? WSAETIMEDOUT : (soError ? soError : WSAECONNREFUSED);
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

} // namespace

bool TcpSocket::Connect(const std::string& host, uint16_t port, int timeoutMs, std::string* error)
{
    Close();
    StartWinsock();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        if (error)
            *error = SystemError(rc);
        return false;
    }
    int lastError = WSAECONNREFUSED;
    for (addrinfo* ai = found; ai && handle_ == kNone; ai = ai->ai_next) {
        const SOCKET s = ConnectOne(*ai, Deadline::In(std::chrono::milliseconds(timeoutMs)), lastError);
        if (s != INVALID_SOCKET)
            handle_ = static_cast<intptr_t>(s);
    }
    freeaddrinfo(found);
    if (handle_ == kNone && error)
        *error = SystemError(lastError);
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
    if (rc < 0)
        return Wait::Failed;
    if (rc == 0)
        return Wait::TimedOut;
    // A hang-up with bytes still queued is read first; the read finds the end.
    return (pfd.revents & (POLLRDNORM | POLLHUP | POLLERR)) ? Wait::Readable : Wait::Failed;
}

int TcpSocket::Receive(uint8_t* buffer, int n)
{
    const int r = recv(Handle(handle_), reinterpret_cast<char*>(buffer), n, 0);
    if (r > 0)
        return r;
    if (r < 0 && WSAGetLastError() == WSAEWOULDBLOCK)
        return -1;
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
        if (w < 0 && WSAGetLastError() == WSAEWOULDBLOCK && !limit.Expired()) {
            WSAPOLLFD pfd{Handle(handle_), POLLWRNORM, 0};
            WSAPoll(&pfd, 1, limit.RemainingMs());
            continue;
        }
        break;
    }
    return done;
}

int TcpSocket::Available()
{
    u_long count = 0;
    return ioctlsocket(Handle(handle_), FIONREAD, &count) == 0 ? static_cast<int>(count) : 0;
}
