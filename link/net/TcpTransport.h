#pragma once

#include "TcpSocket.h"
#include "Transport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// The line to the relay over a TCP connection: a serial device server in
// transparent mode (RTU frames, CRC and all) or a Modbus TCP gateway. Reads
// end as on the serial port.
//
// The name's lookup and the connect (up to kConnectMs for each address the
// name gives) run on a thread of the transport's own, never on the caller's:
// the caller may be the window's thread running a command. A transaction
// that finds no connection asks for one (at most once a second after the
// last attempt) and waits for it at most kConnectWaitMs; when it is not
// there by then, the transaction fails at once as on a port that is not
// open, the connect goes on, and a later transaction takes the connection it
// made. So a command connects a link that is not polled by itself: on a
// near server at once, on a slow one by the next command. Why there is no
// connection is in Problem().
class TcpTransport : public Transport {
public:
    static constexpr int kConnectMs = 2000;
    static constexpr int kConnectWaitMs = 250;

    // name is PORT as given (tcp://... or mbtcp://...), for the window;
    // interval 0 ends a read only on its count, the total or the wait.
    TcpTransport(std::string name, std::string host, uint16_t port, int32_t readIntervalMs, int32_t readTotalMs);
    // Cuts a connect under way short and joins the connecting thread; a
    // lookup of the name under way is waited for.
    ~TcpTransport() override;
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    const std::string& PortName() const override { return name_; }
    bool IsOpen() const override { return socket_.IsOpen(); }
    PortProblem Problem() const override;
    bool EnsureOpen() override;
    int Read(uint8_t* buffer, int n, int waitMs) override;
    int Write(const uint8_t* buffer, int n) override;
    int ClearErrors() override;
    void DiscardInput() override;
    void Close() override;

    // The system's words for why the last connect failed; empty when none has.
    std::string LastError() const;
    // Connects asked for so far, for the log of a line that keeps failing.
    uint64_t ConnectAttempts() const { return attempts_; }

private:
    static constexpr int kWriteLimitMs = 5000;

    void ConnectWhenAsked();
    // The connection has gone (the far end closed it, or it failed): the
    // next transaction connects again.
    void Lost();
    // Bytes came. A connection lost to the far end stays the reason until
    // then, not only until the next connect: a server that takes each
    // connection and closes it (it serves one client, and another is there)
    // would else flip the reason on and off at every poll.
    void Answered();

    const std::string name_;
    const std::string host_;
    const uint16_t port_;
    const int32_t intervalMs_;
    const int32_t totalMs_;
    // The transaction's connection, the caller's alone.
    TcpSocket socket_;
    std::chrono::steady_clock::time_point lastAsked_{};
    std::atomic<uint64_t> attempts_{0};

    // Shared with the connecting thread.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool connecting_ = false;
    TcpSocket made_;  // a connection made, not yet taken by a transaction
    PortProblem problem_;
    std::string lastError_;
    std::atomic<bool> stop_{false};
    std::thread connector_;  // last: starts once everything above exists
};
