// The parts of TCOMPort that every platform shares.

#include "TCOMPort.h"

// The backend's Platform record, from the private header CMake picked along
// with the backend's file: TCOMPort_posix_p.h or TCOMPort_win32_p.h.
#include ZARIT_PORT_PLATFORM_H

#include <algorithm>
#include <cstdlib>

namespace {
constexpr auto kReopenEvery = std::chrono::seconds(1);

// "COM10" after "COM9", "ttyUSB10" after "ttyUSB9".
bool NaturalLess(const std::string& a, const std::string& b)
{
    const auto split = [](const std::string& s) {
        const auto digits = s.find_first_of("0123456789");
        const long number = digits == std::string::npos ? -1 : std::strtol(s.c_str() + digits, nullptr, 10);
        return std::make_pair(s.substr(0, digits), number);
    };
    return split(a) < split(b);
}
} // namespace

TCOMPort::TCOMPort(std::string devicePath)
    : portName_(std::move(devicePath)), p_(std::make_unique<Platform>())
{
}

TCOMPort::~TCOMPort()
{
    Close();
}

bool TCOMPort::Open()
{
    if (p_->IsOpen())
        return true;
    PortProblem why;
    const bool opened = p_->Open(portName_, why);
    std::lock_guard lock(problemMutex_);
    problem_ = opened ? PortProblem{} : std::move(why);
    return opened;
}

PortProblem TCOMPort::Problem() const
{
    std::lock_guard lock(problemMutex_);
    return problem_;
}

void TCOMPort::Close()
{
    if (!p_->IsOpen())
        return;
    Purge();
    p_->Release();
}

bool TCOMPort::IsOpen() const
{
    return p_->IsOpen();
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

std::vector<std::string> TCOMPort::AvailablePorts()
{
    std::vector<std::string> ports = Platform::PortNames();
    std::sort(ports.begin(), ports.end(), NaturalLess);
    return ports;
}
