#pragma once

// The POSIX backend's record behind TCOMPort, for TCOMPort_posix.cpp and for
// the parts every platform shares (TCOMPort.cpp). TCOMPort_win32_p.h declares
// the same members for Windows.

#include "TCOMPort.h"

#include <cstdint>
#include <string>
#include <vector>
#include <termios.h>

struct TCOMPort::Platform {
    // termios has no timeout that ends a read on the gap after a byte, so
    // the read's own poll() loop keeps them. 0: none.
    struct Timeouts {
        int32_t intervalMs = 0;
        int32_t totalMs = 0;
    };

    int fd = -1;
    Timeouts timeouts;

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
};
