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

bool EqualNoCase(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
               return lower(x) == lower(y);
           });
}
} // namespace

std::optional<Rs485Mode> ParseRs485Mode(std::string_view word, std::string* error)
{
    static constexpr std::pair<std::string_view, Rs485Mode> kWords[] = {
        {"off", Rs485Mode::Off}, {"rts", Rs485Mode::Rts}, {"rts-inverted", Rs485Mode::RtsInverted}};
    for (const auto& [name, mode] : kWords)
        if (EqualNoCase(word, name))
            return mode;
    if (error)
        *error = "ожидается off (направление переключает сам адаптер), rts (RTS включён при передаче) "
                 "или rts-inverted (RTS выключен при передаче)";
    return std::nullopt;
}

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
    SetRs485(s.rs485, s.rs485DelayBeforeMs, s.rs485DelayAfterMs);
}

void TCOMPort::SetRs485(Rs485Mode mode, int32_t delayBeforeMs, int32_t delayAfterMs)
{
    if (!p_->IsOpen())
        return;
    const int32_t before = std::max(delayBeforeMs, 0);
    const int32_t after = std::max(delayAfterMs, 0);
    p_->manualRts = {};
    if (p_->DriverRs485(mode, before, after) || mode == Rs485Mode::Off)
        return;
    p_->manualRts = {true, mode == Rs485Mode::Rts, before, after};
    // Receiving until the first write: the open left RTS asserted, which
    // for Rts would hold the bus.
    p_->SetRts(!p_->manualRts.assertedWhileSending);
}

int TCOMPort::Write(const uint8_t* buffer, int n)
{
    if (!p_->IsOpen() || n <= 0)
        return 0;
    const Platform::ManualRts rts = p_->manualRts;
    if (!rts.on)
        return p_->Send(buffer, n);
    p_->SetRts(rts.assertedWhileSending);
    p_->Pause(rts.beforeMs);
    const int sent = p_->Send(buffer, n);
    // A write ends when the driver has the bytes, not when they have left:
    // turning the transceiver round then would cut off the frame's end.
    if (p_->IsOpen()) {
        p_->Drain();
        p_->Pause(rts.afterMs);
        p_->SetRts(!rts.assertedWhileSending);
    }
    return sent;
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
