#pragma once

#include "TcpSocket.h"
#include "Transport.h"

#include <chrono>
#include <cstdint>
#include <string>

// The line to the relay over a TCP connection: a serial device server in
// transparent mode (RTU frames, CRC and all) or a Modbus TCP gateway. Reads
// end as on the serial port; the connection is made on the first
// transaction and made again, at most once a second, after it drops or is
// refused, as an unplugged adapter is opened again.
class TcpTransport : public Transport {
public:
    static constexpr int kConnectMs = 2000;

    // name is PORT as given (tcp://... or mbtcp://...), for the window;
    // interval 0 ends a read only on its count, the total or the wait.
    TcpTransport(std::string name, std::string host, uint16_t port, int32_t readIntervalMs, int32_t readTotalMs);

    const std::string& PortName() const override { return name_; }
    bool IsOpen() const override { return socket_.IsOpen(); }
    bool EnsureOpen() override;
    int Read(uint8_t* buffer, int n, int waitMs) override;
    int Write(const uint8_t* buffer, int n) override;
    int ClearErrors() override;
    void DiscardInput() override;

    // Connects now; false, with the reason in LastError(), when it cannot.
    bool Open();
    void Close() override { socket_.Close(); }
    const std::string& LastError() const { return lastError_; }
    // Connections tried so far, for the log of a line that keeps failing.
    uint64_t ConnectAttempts() const { return attempts_; }

private:
    static constexpr int kWriteLimitMs = 5000;

    std::string name_;
    std::string host_;
    uint16_t port_;
    int32_t intervalMs_;
    int32_t totalMs_;
    TcpSocket socket_;
    std::string lastError_;
    std::chrono::steady_clock::time_point lastOpenAttempt_{};
    uint64_t attempts_ = 0;
};
