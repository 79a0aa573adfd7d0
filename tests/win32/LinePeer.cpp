#include "LinePeer.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>

namespace win32_support {
namespace {

using Clock = std::chrono::steady_clock;

HANDLE AsHandle(void* h)
{
    return static_cast<HANDLE>(h);
}

} // namespace

LinePeer::LinePeer(const std::string& portName)
    : handle_(::CreateFileA(("\\\\.\\" + portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr))
{
    if (!IsOpen())
        return;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (::GetCommState(AsHandle(handle_), &dcb)) {
        dcb.fBinary = TRUE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fAbortOnError = FALSE;
        ::SetCommState(AsHandle(handle_), &dcb);
    }
    // Reads take only what is queued: return at once with what is there.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    ::SetCommTimeouts(AsHandle(handle_), &t);
    Drain();
}

LinePeer::~LinePeer()
{
    if (IsOpen())
        ::CloseHandle(AsHandle(handle_));
}

bool LinePeer::IsOpen() const
{
    return AsHandle(handle_) != INVALID_HANDLE_VALUE;
}

int LinePeer::Waiting() const
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!IsOpen() || !::ClearCommError(AsHandle(handle_), &errors, &status))
        return 0;
    return static_cast<int>(status.cbInQue);
}

bool LinePeer::Send(const Bytes& bytes)
{
    DWORD written = 0;
    return IsOpen()
        && ::WriteFile(AsHandle(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
        && written == bytes.size();
}

Bytes LinePeer::Take()
{
    const int waiting = Waiting();
    if (waiting <= 0)
        return {};
    Bytes chunk(static_cast<std::size_t>(waiting));
    DWORD got = 0;
    if (!::ReadFile(AsHandle(handle_), chunk.data(), static_cast<DWORD>(waiting), &got, nullptr))
        return {};
    chunk.resize(got);
    return chunk;
}

Bytes LinePeer::Receive(int firstMs, int quietMs)
{
    Bytes got;
    const auto start = Clock::now();
    auto last = start;
    for (;;) {
        const Bytes chunk = Take();
        const auto now = Clock::now();
        if (!chunk.empty()) {
            got.insert(got.end(), chunk.begin(), chunk.end());
            last = now;
            continue;
        }
        const auto quiet = std::chrono::milliseconds(got.empty() ? firstMs : quietMs);
        if (now - (got.empty() ? start : last) >= quiet)
            return got;
        ::Sleep(2);
    }
}

void LinePeer::Drain(int quietMs)
{
    Receive(quietMs, quietMs);
}

Relay::Relay(LinePeer& peer) : peer_(peer), thread_([this] { Run(); }) {}

Relay::~Relay()
{
    stop_ = true;
    thread_.join();
}

int Relay::Waiting() const
{
    return peer_.Waiting();
}

void Relay::Run()
{
    while (!stop_) {
        if (!BusyIfWaiting()) {
            ::Sleep(2);
            continue;
        }
        // A request ends with 20 ms of silence, as a real slave frames it.
        const Bytes request = peer_.Receive(0, 20);
        for (const Send& step : Answer(request)) {
            if (step.delayMs > 0)
                ::Sleep(static_cast<DWORD>(step.delayMs));
            if (!step.bytes.empty())
                peer_.Send(step.bytes);
        }
        Idle();
    }
}

} // namespace win32_support
