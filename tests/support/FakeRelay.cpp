#include "FakeRelay.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace testing_support {
namespace {

int Pending(int fd)
{
    int n = 0;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

bool Readable(int fd, int timeoutMs)
{
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & POLLIN);
}

// Appends whatever arrives within timeoutMs; false when nothing did.
bool ReadSome(int fd, Bytes& into, int timeoutMs)
{
    if (!Readable(fd, timeoutMs))
        return false;
    uint8_t chunk[512];
    const ssize_t r = ::read(fd, chunk, sizeof chunk);
    if (r <= 0)
        return false;
    into.insert(into.end(), chunk, chunk + r);
    return true;
}

} // namespace

FakeRelay::FakeRelay(PtyPair& pty) : pty_(pty), fd_(pty.PeerFd())
{
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

FakeRelay::~FakeRelay()
{
    stop_ = true;
    thread_.join();
}

int FakeRelay::Waiting() const
{
    return Pending(fd_);
}

void FakeRelay::Run()
{
    Bytes pending;
    while (!stop_ && fd_ >= 0) {
        if (pending.empty()) {
            // Busy before the first byte is read, not after: WaitIdle must
            // not find the bytes gone from the line and the relay not busy.
            if (!Readable(fd_, 20) || !BusyIfWaiting())
                continue;
            if (!ReadSome(fd_, pending, 0)) {
                Idle();
                continue;
            }
        }
        Busy();
        // Functions 3 and 5 have 8-byte requests; anything else ends with
        // 20 ms of silence, as a real slave frames by the line going quiet.
        if (pending.size() >= 2 && (pending[1] == 0x03 || pending[1] == 0x05)) {
            const auto limit = Clock::now() + std::chrono::milliseconds(200);
            while (pending.size() < 8 && Clock::now() < limit)
                ReadSome(fd_, pending, 20);
        } else {
            while (ReadSome(fd_, pending, 20)) {}
        }
        const std::size_t take = (pending.size() >= 8 && (pending[1] == 0x03 || pending[1] == 0x05))
                                     ? 8 : pending.size();
        Bytes request(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(take));
        if (!pending.empty() || Pending(fd_) > 0)
            ++overlaps_;
        Perform(Answer(request));
        Idle();
    }
    Idle();
}

void FakeRelay::Perform(const Reply& reply)
{
    for (const Send& step : reply) {
        if (step.delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(step.delayMs));
        if (step.hangUp) {
            pty_.HangUp();
            fd_ = -1;
            return;
        }
        // A line nobody reads fills up; wait for room, but not past a stop.
        std::size_t done = 0;
        while (done < step.bytes.size() && !stop_) {
            const ssize_t w = ::write(fd_, step.bytes.data() + done, step.bytes.size() - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
                continue;
            }
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd pfd{fd_, POLLOUT, 0};
                ::poll(&pfd, 1, 20);
                continue;
            }
            return;
        }
    }
}

} // namespace testing_support
