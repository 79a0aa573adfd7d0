// The parts of TCOMPort that every platform shares.

#include "TCOMPort.h"

namespace {
constexpr auto kReopenEvery = std::chrono::seconds(1);
}

void TCOMPort::Apply(const LineSettings& s)
{
    SetBaudRate(s.baudRate);
    SetParity(s.parity);
    SetStopBits(s.stopBits);
    SetByteSize(s.byteSize);
    SetReadIntervalTimeout(s.readIntervalMs);
    SetReadTotalTimeout(s.readTotalMs);
}

void TCOMPort::KeepOpen(const LineSettings& settings)
{
    keepOpen_ = true;
    settings_ = settings;
    lastOpenAttempt_ = std::chrono::steady_clock::now();
}

bool TCOMPort::EnsureOpen()
{
    if (IsOpen())
        return true;
    if (!keepOpen_)
        return false;
    // An absent device fails every poll at once; trying to open it on each
    // would hammer the driver (and a USB hub) ten times a second.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastOpenAttempt_ < kReopenEvery)
        return false;
    lastOpenAttempt_ = now;
    if (!Open())
        return false;
    Apply(settings_);
    return true;
}
