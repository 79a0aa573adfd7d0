#pragma once

// The Win32 backend's record behind TCOMPort, for TCOMPort_win32.cpp and for
// the parts every platform shares (TCOMPort.cpp). TCOMPort_posix_p.h declares
// the same members for POSIX.

#include "TCOMPort.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <vector>

struct TCOMPort::Platform {
    // RTS driven by Write itself, where the driver does not switch an
    // RS-485 transceiver on its own.
    struct ManualRts {
        bool on = false;
        bool assertedWhileSending = true;
        int32_t beforeMs = 0;
        int32_t afterMs = 0;
    };

    HANDLE handle = INVALID_HANDLE_VALUE;
    // Manual-reset and reset before every operation: an auto-reset event
    // consumed by one wait, or left set by the previous operation, would let
    // a wait end early or never.
    HANDLE done = nullptr;
    ManualRts manualRts;

    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }
    // Overlapped, raw, without flow control or read timeouts; false, with
    // the reason in why, when the device cannot be used.
    bool Open(const std::string& devicePath, PortProblem& why);
    void Release();
    // The names of the machine's serial ports, in no order, found without
    // opening any.
    static std::vector<std::string> PortNames();

    // Read the whole DCB, let `change` alter one field, write it back.
    template <typename Change>
    void ModifyLine(Change change);
    template <typename Change>
    void ModifyTimeouts(Change change);

    // Starts an operation on the event, cleared first.
    OVERLAPPED Record();
    // Ends an operation that is still running, and waits until the driver
    // has really let go of the caller's buffer.
    void CancelAndCollect(OVERLAPPED& o);
    // The byte count of an operation that has ended, or what it moved before
    // the line went away (the handle is then released).
    int Collect(OVERLAPPED& o);
    int Failed(DWORD error, DWORD transferred);
    // True when the driver's total timeout, as set now, ends a read with
    // nothing before a wait of waitMs does.
    bool DriverEndsFirst(DWORD waitMs) const;

    // RTS_CONTROL_TOGGLE for Rts without delays; false otherwise, with RTS
    // left to SetRts. Off puts back the RTS_CONTROL_ENABLE of the open.
    bool DriverRs485(Rs485Mode mode, int32_t beforeMs, int32_t afterMs);
    void SetRts(bool asserted);
    void Pause(int32_t ms);
    // Up to 5 s; what went out. A line that has gone is released.
    int Send(const uint8_t* buffer, int n);
    // Until the bytes written have left the port.
    void Drain();
};
