#pragma once

#include "Transport.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Who switches an RS-485 transceiver between sending and receiving: the
// adapter itself (Off), or RTS, asserted while sending (Rts) or while
// receiving (RtsInverted). "Asserted" is the level TIOCMBIS and SETRTS give.
enum class Rs485Mode : uint8_t { Off, Rts, RtsInverted };

// "off", "rts" or "rts-inverted", in any letter case; anything else gives
// nothing, with *error saying which words are expected.
std::optional<Rs485Mode> ParseRs485Mode(std::string_view word, std::string* error = nullptr);

// The line settings the link applies after every open, in this order: the
// serial port's own terms (the Win32 COMM model), which LinkSettings::Line
// derives; a network line has none.
struct LineSettings {
    int32_t baudRate = 9600;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    uint8_t byteSize = 8;
    int32_t readIntervalMs = 100;
    int32_t readTotalMs = 1000;
    Rs485Mode rs485 = Rs485Mode::Off;
    // RTS at the sending level this long before the first byte, and after
    // the last one has left; negative values are taken as 0.
    int32_t rs485DelayBeforeMs = 0;
    int32_t rs485DelayAfterMs = 0;
};

// One serial device, opened exclusively. The line settings and read timeouts
// follow the Win32 COMM model on every platform: a read ends on its byte
// count, on the gap after a received byte (read interval timeout), on the
// total read timeout or on the caller's completion wait; only the last one
// raises. Every setter and I/O operation is a no-op (returning 0) while the
// port is closed. Not thread-safe: one operation at a time.
class TCOMPort : public Transport {
public:
    // devicePath is the platform's path, as formed by DevicePath().
    explicit TCOMPort(std::string devicePath);
    ~TCOMPort() override;
    TCOMPort(const TCOMPort&) = delete;
    TCOMPort& operator=(const TCOMPort&) = delete;

    // False, with the reason in Problem(), when the device cannot be used.
    bool Open();
    void Close() override;
    bool IsOpen() const override;
    PortProblem Problem() const override;
    const std::string& PortName() const override { return portName_; }

    // A value the driver refuses leaves the previous setting in force.
    void SetBaudRate(int32_t bitsPerSecond);
    void SetParity(uint8_t code);     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    void SetByteSize(uint8_t bits);   // 5..8
    void SetStopBits(uint8_t code);   // 0 one, 1 one and a half, 2 two
    // 0 disables the timeout; negative values are taken as 0.
    void SetReadIntervalTimeout(int32_t ms);
    void SetReadTotalTimeout(int32_t ms);
    // The driver's own RS-485 mode when it takes exactly this polarity and
    // these delays (Linux's TIOCSRS485, Windows' RTS_CONTROL_TOGGLE without
    // delays); otherwise Write drives RTS itself. Off leaves RTS alone, and
    // gives back a driver mode this port switched on.
    void SetRs485(Rs485Mode mode, int32_t delayBeforeMs, int32_t delayAfterMs);

    // Returns the bytes received, possibly fewer than n. Throws ETimeout when
    // waitMs runs out first; the receive side is emptied before it throws.
    int Read(uint8_t* buffer, int n, int waitMs) override;
    // Gives up after 5000 ms and returns 0; never throws. When it drives
    // RTS itself it returns only after the bytes have left the port and the
    // delay after them has passed; a driver that has no RTS to set (a
    // pseudo-terminal) does not keep the bytes from going out.
    int Write(const uint8_t* buffer, int n) override;
    // Cancels pending I/O; buffers are kept. Always 0.
    int Purge();
    // Clears line errors; returns the number of bytes waiting to be read.
    int ClearErrors() override;
    // Drops whatever waits in the receive queue.
    void DiscardInput() override;

    // The setters, in the order start-up uses them.
    void Apply(const LineSettings& settings);
    // From now on a port that is not open (it never opened, or its line hung
    // up: an adapter pulled out) opens itself again in EnsureOpen, at most
    // once a second, and takes these settings anew.
    void KeepOpen(const LineSettings& settings);
    // Before each transaction: true when the port is open, or could be
    // opened again now.
    bool EnsureOpen() override;

    // "COM1" <-> the platform's device path for it.
    static std::string DevicePath(const std::string& portName);
    static std::string PortNameFromDevicePath(const std::string& devicePath);
    // Names of this machine's serial ports in natural order ("COM9" before
    // "COM10"), as the system lists them: none is opened, so a port held by
    // another program is listed too. Quick enough for the window's thread.
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
    // Written by the thread that opens, read by the window's.
    mutable std::mutex problemMutex_;
    PortProblem problem_;
};
