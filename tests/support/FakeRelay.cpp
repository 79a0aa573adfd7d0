#include "FakeRelay.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

int Pending(int fd)
{
    int n = 0;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// Appends whatever arrives within timeoutMs; false when nothing did.
bool ReadSome(int fd, Bytes& into, int timeoutMs)
{
    pollfd pfd{fd, POLLIN, 0};
    if (::poll(&pfd, 1, timeoutMs) <= 0 || !(pfd.revents & POLLIN))
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

void FakeRelay::Next(Script script)
{
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(script));
}

void FakeRelay::WaitIdle()
{
    const auto limit = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (!busy_ && Pending(fd_) == 0)
                return;
        }
        if (Clock::now() > limit)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<uint16_t> FakeRelay::LastServed() const
{
    std::lock_guard lock(mutex_);
    return answers_.LastServed();
}

std::vector<Bytes> FakeRelay::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<Clock::time_point> FakeRelay::RequestTimes() const
{
    std::lock_guard lock(mutex_);
    return times_;
}

void FakeRelay::Run()
{
    Bytes pending;
    while (!stop_ && fd_ >= 0) {
        if (pending.empty() && !ReadSome(fd_, pending, 20))
            continue;
        {
            std::lock_guard lock(mutex_);
            busy_ = true;
        }
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

        Script script;
        Bytes good;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            times_.push_back(Clock::now());
            if (!scripts_.empty()) {
                script = std::move(scripts_.front());
                scripts_.pop_front();
            }
            good = answers_.GoodReply(request);
        }
        Perform(script ? script(request, good) : Reply{{0, good}});
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    std::lock_guard lock(mutex_);
    busy_ = false;
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
