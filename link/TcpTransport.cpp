#include "TcpTransport.h"

#include "Deadline.h"

#include <algorithm>
#include <vector>

namespace {
constexpr auto kReopenEvery = std::chrono::seconds(1);
}

TcpTransport::TcpTransport(std::string name, std::string host, uint16_t port, int32_t readIntervalMs,
                           int32_t readTotalMs)
    : name_(std::move(name)), host_(std::move(host)), port_(port), intervalMs_(std::max<int32_t>(readIntervalMs, 0)),
      totalMs_(std::max<int32_t>(readTotalMs, 0))
{
}

bool TcpTransport::Open()
{
    if (socket_.IsOpen())
        return true;
    ++attempts_;
    lastOpenAttempt_ = std::chrono::steady_clock::now();
    return socket_.Connect(host_, port_, kConnectMs, &lastError_);
}

bool TcpTransport::EnsureOpen()
{
    if (socket_.IsOpen())
        return true;
    // A server that refuses, or is away, fails every poll at once; asking it
    // on each would knock at it ten times a second.
    if (attempts_ > 0 && std::chrono::steady_clock::now() - lastOpenAttempt_ < kReopenEvery)
        return false;
    return Open();
}

int TcpTransport::Read(uint8_t* buffer, int n, int waitMs)
{
    if (!socket_.IsOpen() || n <= 0)
        return 0;
    const Deadline wait = Deadline::In(std::chrono::milliseconds(std::max(waitMs, 0)));
    const Deadline total = Deadline::InOrNever(totalMs_);
    Deadline gap = Deadline::Never();
    int got = 0;
    for (;;) {
        const auto now = Deadline::Clock::now();
        // As on the serial port: the line's own timeouts end the read
        // quietly only when they come strictly before the caller's wait.
        const Deadline line = gap.Before(total) ? gap : total;
        const bool lineFirst = line.Before(wait);
        if (lineFirst && line.Expired(now))
            return got;
        if (wait.Expired(now)) {
            DiscardInput();
            throw ETimeout();
        }
        // What is there already is taken without waiting: a reply mostly
        // comes in one piece, and a wait for it would cost a call more.
        int r = socket_.Receive(buffer + got, n - got);
        if (r < 0) {
            const TcpSocket::Wait ready = socket_.WaitReadable((lineFirst ? line : wait).RemainingMs(now));
            if (ready == TcpSocket::Wait::TimedOut)
                continue;
            r = ready == TcpSocket::Wait::Readable ? socket_.Receive(buffer + got, n - got) : 0;
        }
        if (r > 0) {
            got += r;
            if (got == n)
                return got;
            gap = Deadline::InOrNever(intervalMs_);
            continue;
        }
        if (r < 0)
            continue;
        // Closed by the far end, or failed: this transaction ends with what
        // came, and the next one connects again.
        socket_.Close();
        return got;
    }
}

int TcpTransport::Write(const uint8_t* buffer, int n)
{
    if (!socket_.IsOpen() || n <= 0)
        return 0;
    const int sent = socket_.Send(buffer, n, kWriteLimitMs);
    if (sent < n)
        socket_.Close();
    return sent;
}

int TcpTransport::ClearErrors()
{
    return socket_.IsOpen() ? socket_.Available() : 0;
}

void TcpTransport::DiscardInput()
{
    if (!socket_.IsOpen())
        return;
    std::vector<uint8_t> sink(4096);
    for (int available; (available = socket_.Available()) > 0;) {
        const int r = socket_.Receive(sink.data(), std::min<int>(available, static_cast<int>(sink.size())));
        if (r <= 0)
            break;
    }
}
