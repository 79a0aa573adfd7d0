#pragma once

// The POSIX backend's record behind TCOMPort, for TCOMPort_posix.cpp with its
// per-system RS-485 file and for the parts every platform shares
// (TCOMPort.cpp). TCOMPort_win32_p.h declares the same members for Windows.

#include "TCOMPort.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>
#include <termios.h>

struct TCOMPort::Platform {
    // termios has no timeout that ends a read on the gap after a byte, so
    // the read's own poll() loop keeps them. 0: none.
    struct Timeouts {
        int32_t intervalMs = 0;
        int32_t totalMs = 0;
    };

    // RTS driven by Write itself, where the driver does not switch an
    // RS-485 transceiver on its own.
    struct ManualRts {
        bool on = false;
        bool assertedWhileSending = true;
        int32_t beforeMs = 0;
        int32_t afterMs = 0;
    };

    // What the write path and the direction control call. A test points
    // `calls` at fakes: a pseudo-terminal has neither RTS nor an RS-485 mode.
    struct SystemCalls {
        int (*ioctl)(int fd, unsigned long request, void* argument);
        ssize_t (*write)(int fd, const void* data, size_t size);
        int (*drain)(int fd);
        void (*sleepMs)(int32_t ms);
    };
    static const SystemCalls* calls;

    int fd = -1;
    Timeouts timeouts;
    ManualRts manualRts;
    // The kernel's RS-485 mode was off until this port switched it on.
    bool driverRs485Ours = false;

    bool IsOpen() const { return fd >= 0; }
    // Exclusive, raw, without flow control or read timeouts; false, with
    // the reason in why, when the device cannot be used.
    bool Open(const std::string& devicePath, PortProblem& why);
    void Release();
    // The names of the machine's serial ports, in no order, found without
    // opening any.
    static std::vector<std::string> PortNames();

    // Read the whole record, let `change` alter one field, write it back.
    template <typename Change>
    void ModifyLine(Change change);
    template <typename Change>
    void ModifyTimeouts(Change change);
    // A refused rate leaves the previous settings in force.
    void ModifyRate(uint32_t rate);

    // The kernel's RS-485 mode, when this system has one and the driver
    // takes exactly this polarity and these delays; false otherwise. Off
    // switches back off a mode this port switched on. One file per system:
    // TCOMPort_linux_rs485.cpp, TCOMPort_posix_rs485.cpp.
    bool DriverRs485(Rs485Mode mode, int32_t beforeMs, int32_t afterMs);
    void SetRts(bool asserted);
    void Pause(int32_t ms);
    // Up to 5 s; what went out. A line that has gone is released.
    int Send(const uint8_t* buffer, int n);
    // Until the bytes written have left the port.
    void Drain();
};
