#pragma once

#include "PortProblem.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

// One TCP connection as the platform's sockets give it (TcpSocket_posix.cpp,
// TcpSocket_win32.cpp): non-blocking, without Nagle's delay, with keep-alive
// probes so that a connection whose far end has gone is noticed.
class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket() { Close(); }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;
    TcpSocket(TcpSocket&& other) noexcept
        : handle_(std::exchange(other.handle_, kNone)), failure_(std::move(other.failure_))
    {
    }
    TcpSocket& operator=(TcpSocket&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = std::exchange(other.handle_, kNone);
            failure_ = std::move(other.failure_);
        }
        return *this;
    }

    // Tries every address the host name gives, each for at most timeoutMs,
    // and gives up within a few tens of milliseconds once `cancel` is set
    // (the name's lookup itself cannot be cut short). False, with the reason
    // in Failure(), when none answers.
    bool Connect(const std::string& host, uint16_t port, int timeoutMs, const std::atomic<bool>& cancel);
    // A temporary flag (a bool, even a pointer, converted) could never be set.
    bool Connect(const std::string&, uint16_t, int, std::atomic<bool>&&) = delete;
    bool IsOpen() const { return handle_ != kNone; }
    void Close();
    // Why the last Connect failed, or why Receive or Send found the
    // connection gone.
    const PortProblem& Failure() const { return failure_; }

    enum class Wait { Readable, TimedOut, Failed };
    Wait WaitReadable(int ms);
    // Bytes received (> 0); 0 when the far end has closed or the connection
    // failed; -1 when nothing is there yet.
    int Receive(uint8_t* buffer, int n);
    // Sends all n bytes unless the connection fails or timeoutMs passes;
    // returns what went out.
    int Send(const uint8_t* buffer, int n, int timeoutMs);
    // Bytes waiting to be received.
    int Available();

private:
    static constexpr intptr_t kNone = -1;

    intptr_t handle_ = kNone;  // a descriptor, or a SOCKET
    PortProblem failure_;
};
