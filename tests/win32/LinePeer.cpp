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

void Relay::Next(Script script)
{
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(script));
}

void Relay::WaitIdle()
{
    const auto limit = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < limit) {
        {
            std::lock_guard lock(mutex_);
            if (!busy_ && peer_.Waiting() == 0)
                return;
        }
        ::Sleep(2);
    }
}

std::vector<uint16_t> Relay::LastServed() const
{
    std::lock_guard lock(mutex_);
    return answers_.LastServed();
}

std::vector<Bytes> Relay::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void Relay::Run()
{
    while (!stop_) {
        bool arrived = false;
        {
            // Marked busy in the same step that sees the request arrive, so
            // WaitIdle never finds neither.
            std::lock_guard lock(mutex_);
            arrived = busy_ = peer_.Waiting() > 0;
        }
        if (!arrived) {
            ::Sleep(2);
            continue;
        }
        // A request ends with 20 ms of silence, as a real slave frames it.
        const Bytes request = peer_.Receive(0, 20);
        Script script;
        Bytes good;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            if (!scripts_.empty()) {
                script = std::move(scripts_.front());
                scripts_.pop_front();
            }
            good = answers_.GoodReply(request);
        }
        for (const Send& step : script ? script(request, good) : Reply{{0, good}}) {
            if (step.delayMs > 0)
                ::Sleep(static_cast<DWORD>(step.delayMs));
            if (!step.bytes.empty())
                peer_.Send(step.bytes);
        }
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
}

} // namespace win32_support
