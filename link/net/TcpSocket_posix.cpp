#include "TcpSocket.h"

#include "Deadline.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace {

// How often a connect in progress looks whether it is to give up.
constexpr int kCancelCheckMs = 50;

std::string SystemError(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// The one place an errno becomes the link's reason; 0 is the far end's
// orderly close.
PortProblem Classify(const char* step, int error)
{
    PortProblem p{PortProblem::Kind::Other, step, error, error ? SystemError(error) : std::string(), {}};
    switch (error) {
    case 0:
    case ECONNRESET:
    case EPIPE: p.kind = PortProblem::Kind::ClosedByServer; break;
    case ECONNREFUSED: p.kind = PortProblem::Kind::Refused; break;
    case ETIMEDOUT: p.kind = PortProblem::Kind::NoAnswer; break;
    default: break;
    }
    return p;
}

void SetOptions(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
    // Probes after 5 s of silence, every 2 s, three unanswered ones end it:
    // a device server switched off is noticed within about 11 s.
    const int idle = 5, interval = 2, count = 3;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
#ifdef SO_NOSIGPIPE
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

// The outcome of a non-blocking connect to fd: the descriptor, or -1.
int AwaitConnect(int fd, const Deadline& limit, const std::atomic<bool>& cancel, int& error)
{
    for (;;) {
        if (cancel) {
            error = ECANCELED;
            break;
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int rc = ::poll(&pfd, 1, std::min(limit.RemainingMs(), kCancelCheckMs));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0) {
            if (!limit.Expired())
                continue;
            error = ETIMEDOUT;
            break;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        if (rc > 0 && soError == 0)
            return fd;
        error = rc < 0 ? errno : soError;
        break;
    }
    ::close(fd);
    return -1;
}

// One address, non-blocking, within the time left.
int ConnectOne(const addrinfo& ai, const Deadline& limit, const std::atomic<bool>& cancel, int& error)
{
    const int fd = ::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    SetOptions(fd);
    if (::connect(fd, ai.ai_addr, ai.ai_addrlen) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return AwaitConnect(fd, limit, cancel, error);
}

} // namespace

bool TcpSocket::Connect(const std::string& host, uint16_t port, int timeoutMs, const std::atomic<bool>& cancel)
{
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        failure_ = {PortProblem::Kind::NameNotFound, "getaddrinfo", rc, ::gai_strerror(rc), {}};
        return false;
    }
    int lastError = ECONNREFUSED;
    for (addrinfo* ai = found; ai && handle_ == kNone && !cancel; ai = ai->ai_next) {
        const int fd = ConnectOne(*ai, Deadline::In(std::chrono::milliseconds(timeoutMs)), cancel, lastError);
        if (fd >= 0)
            handle_ = fd;
    }
    ::freeaddrinfo(found);
    failure_ = handle_ == kNone ? Classify("connect", lastError) : PortProblem{};
    return handle_ != kNone;
}

void TcpSocket::Close()
{
    if (handle_ != kNone)
        ::close(static_cast<int>(handle_));
    handle_ = kNone;
}

TcpSocket::Wait TcpSocket::WaitReadable(int ms)
{
    pollfd pfd{static_cast<int>(handle_), POLLIN, 0};
    const int rc = ::poll(&pfd, 1, ms);
    if (rc < 0 && errno == EINTR)
        return Wait::TimedOut;
    if (rc == 0)
        return Wait::TimedOut;
    // A hang-up with bytes still queued is read first; the read finds the end.
    if (rc > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)))
        return Wait::Readable;
    failure_ = Classify("poll", rc < 0 ? errno : EBADF);
    return Wait::Failed;
}

int TcpSocket::Receive(uint8_t* buffer, int n)
{
    const ssize_t r = ::recv(static_cast<int>(handle_), buffer, static_cast<size_t>(n), 0);
    if (r > 0)
        return static_cast<int>(r);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return -1;
    failure_ = Classify("recv", r < 0 ? errno : 0);
    return 0;
}

int TcpSocket::Send(const uint8_t* buffer, int n, int timeoutMs)
{
    const Deadline limit = Deadline::In(std::chrono::milliseconds(timeoutMs));
    int done = 0;
    while (done < n) {
#ifdef MSG_NOSIGNAL
        const int flags = MSG_NOSIGNAL;  // a closed connection is an error here, not a signal
#else
        const int flags = 0;
#endif
        const ssize_t w = ::send(static_cast<int>(handle_), buffer + done, static_cast<size_t>(n - done), flags);
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        const bool full = w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        if (full && !limit.Expired()) {
            pollfd pfd{static_cast<int>(handle_), POLLOUT, 0};
            ::poll(&pfd, 1, limit.RemainingMs());
            continue;
        }
        failure_ = Classify("send", full ? ETIMEDOUT : w < 0 ? errno : 0);
        break;
    }
    return done;
}

int TcpSocket::Available()
{
    int count = 0;
    return ::ioctl(static_cast<int>(handle_), FIONREAD, &count) == 0 ? count : 0;
}
