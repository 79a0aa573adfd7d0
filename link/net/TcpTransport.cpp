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
      totalMs_(std::max<int32_t>(readTotalMs, 0)), connector_([this] { ConnectWhenAsked(); })
{
}

TcpTransport::~TcpTransport()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    connector_.join();
}

void TcpTransport::ConnectWhenAsked()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stop_ || connecting_; });
        if (stop_)
            return;
        lock.unlock();
        TcpSocket socket;
        socket.Connect(host_, port_, kConnectMs, stop_);
        lock.lock();
        if (socket.IsOpen()) {
            made_ = std::move(socket);
            // A server that closed the last connection stays the reason
            // until this one has brought bytes (Read).
            if (problem_.kind != PortProblem::Kind::ClosedByServer)
                problem_ = {};
        } else if (!stop_) {
            problem_ = socket.Failure();
            lastError_ = problem_.system;
        }
        connecting_ = false;
        changed_.notify_all();
    }
}

bool TcpTransport::EnsureOpen()
{
    if (socket_.IsOpen())
        return true;
    std::unique_lock lock(mutex_);
    if (!connecting_ && !made_.IsOpen()) {
        // A server that refuses, or is away, fails every poll at once; asking
        // it on each would knock at it ten times a second.
        const auto now = std::chrono::steady_clock::now();
        if (attempts_ > 0 && now - lastAsked_ < kReopenEvery)
            return false;
        lastAsked_ = now;
        ++attempts_;
        connecting_ = true;
        changed_.notify_all();
    }
    changed_.wait_for(lock, std::chrono::milliseconds(kConnectWaitMs), [&] { return !connecting_; });
    socket_ = std::move(made_);
    return socket_.IsOpen();
}

PortProblem TcpTransport::Problem() const
{
    std::lock_guard lock(mutex_);
    return problem_;
}

std::string TcpTransport::LastError() const
{
    std::lock_guard lock(mutex_);
    return lastError_;
}

void TcpTransport::Lost()
{
    PortProblem why = socket_.Failure();
    socket_.Close();
    std::lock_guard lock(mutex_);
    problem_ = std::move(why);
}

void TcpTransport::Close()
{
    socket_.Close();
    std::lock_guard lock(mutex_);
    made_.Close();
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
            if (got == 0)
                Answered();
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
        Lost();
        return got;
    }
}

void TcpTransport::Answered()
{
    std::lock_guard lock(mutex_);
    if (problem_.kind == PortProblem::Kind::ClosedByServer)
        problem_ = {};
}

int TcpTransport::Write(const uint8_t* buffer, int n)
{
    if (!socket_.IsOpen() || n <= 0)
        return 0;
    const int sent = socket_.Send(buffer, n, kWriteLimitMs);
    if (sent < n)
        Lost();
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
