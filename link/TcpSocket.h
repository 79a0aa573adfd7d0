#pragma once

#include <cstdint>
#include <string>

// One TCP connection as the platform's sockets give it (TcpSocket_posix.cpp,
// TcpSocket_win32.cpp): non-blocking, without Nagle's delay, with keep-alive
// probes so that a connection whose far end has gone is noticed.
class TcpSocket {
public:
    TcpSocket() = default;
    ~TcpSocket() { Close(); }
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Tries every address the host name gives, each for at most timeoutMs.
    // False, with the system's words in *error, when none answers.
    bool Connect(const std::string& host, uint16_t port, int timeoutMs, std::string* error);
    bool IsOpen() const { return handle_ != kNone; }
    void Close();

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
};
