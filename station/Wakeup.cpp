#include "Wakeup.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

Wakeup::Wakeup(const sigset_t& stops)
    : wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), signals_(::signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC))
{
    if (wake_ < 0 || signals_ < 0) {
        const std::string why = std::strerror(errno);
        Close();
        throw std::runtime_error("eventfd/signalfd: " + why);
    }
}

Wakeup::~Wakeup()
{
    Close();
}

void Wakeup::Close()
{
    for (int fd : {wake_, signals_})
        if (fd >= 0)
            ::close(fd);
    wake_ = signals_ = -1;
}

void Wakeup::Wake() const
{
    // Fails only when the counter is full, and then a wake is pending anyway.
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

int Wakeup::Wait(std::chrono::steady_clock::time_point until) const
{
    const auto left = until - std::chrono::steady_clock::now();
    // Rounded up: a wait that ends before its time would only come back for
    // the rest of it.
    const long long ms = std::clamp<long long>(std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, 60000);
    pollfd fds[2] = {{signals_, POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(ms)) <= 0)
        return 0;  // the time, or EINTR from a signal outside the set
    if (fds[1].revents & POLLIN) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
    }
    signalfd_siginfo info{};
    if ((fds[0].revents & POLLIN) && ::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
        return static_cast<int>(info.ssi_signo);
    return 0;
}
