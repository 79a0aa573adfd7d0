#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Failures of the serial port. Only ETimeout is ever raised (by Read); the
// base exists so callers can catch every port failure in one clause.
class ESerialException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ETimeout : public ESerialException {
public:
    ETimeout() : ESerialException("serial read: completion wait ran out") {}
};

// The line settings the link applies after every open, in this order.
struct LineSettings {
    int32_t baudRate = 9600;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    uint8_t byteSize = 8;
    int32_t readIntervalMs = 100;
    int32_t readTotalMs = 1000;
};

// One serial device, opened exclusively. The line settings and read timeouts
// follow the Win32 COMM model on every platform: a read ends on its byte
// count, on the gap after a received byte (read interval timeout), on the
// total read timeout or on the caller's completion wait; only the last one
// raises. Every setter and I/O operation is a no-op (returning 0) while the
// port is closed. Not thread-safe: one operation at a time.
class TCOMPort {
public:
    // devicePath is the platform's path, as formed by DevicePath().
    explicit TCOMPort(std::string devicePath);
    ~TCOMPort();
    TCOMPort(const TCOMPort&) = delete;
    TCOMPort& operator=(const TCOMPort&) = delete;

    bool Open();
    void Close();
    bool IsOpen() const;
    const std::string& PortName() const { return portName_; }

    // A value the driver refuses leaves the previous setting in force.
    void SetBaudRate(int32_t bitsPerSecond);
    void SetParity(uint8_t code);     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    void SetByteSize(uint8_t bits);   // 5..8
    void SetStopBits(uint8_t code);   // 0 one, 1 one and a half, 2 two
    // 0 disables the timeout; negative values are taken as 0.
    void SetReadIntervalTimeout(int32_t ms);
    void SetReadTotalTimeout(int32_t ms);

    // Returns the bytes received, possibly fewer than n. Throws ETimeout when
    // waitMs runs out first; the receive side is emptied before it throws.
    int Read(uint8_t* buffer, int n, int waitMs);
    // Gives up after 5000 ms and returns 0; never throws.
    int Write(const uint8_t* buffer, int n);
    // Cancels pending I/O; buffers are kept. Always 0.
    int Purge();
    // Clears line errors; returns the number of bytes waiting to be read.
    int ClearErrors();
    // Drops whatever waits in the receive queue.
    void DiscardInput();

    // The six setters, in the order start-up uses them.
    void Apply(const LineSettings& settings);
    // From now on a port that is not open (it never opened, or its line hung
    // up: an adapter pulled out) opens itself again in EnsureOpen, at most
    // once a second, and takes these settings anew.
    void KeepOpen(const LineSettings& settings);
    // Before each transaction: true when the port is open, or could be
    // opened again now.
    bool EnsureOpen();

    // "COM1" <-> the platform's device path for it.
    static std::string DevicePath(const std::string& portName);
    static std::string PortNameFromDevicePath(const std::string& devicePath);
    // Names of this machine's serial ports that could be opened right now,
    // in the platform's order; a port held open elsewhere is not listed.
    static std::vector<std::string> AvailablePorts();

    // The backend's record, in its private header: TCOMPort_posix_p.h or
    // TCOMPort_win32_p.h, with the same members in both.
    struct Platform;

private:
    std::string portName_;
    std::unique_ptr<Platform> p_;
    bool keepOpen_ = false;
    LineSettings settings_;
    std::chrono::steady_clock::time_point lastOpenAttempt_{};
};
