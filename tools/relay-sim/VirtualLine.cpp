#include "VirtualLine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace relaysim {
namespace {

std::runtime_error SystemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

std::string ReadLink(const std::string& path)
{
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

VirtualLine::VirtualLine(std::string linkPath) : linkPath_(std::move(linkPath))
{
    if (::openpty(&masterFd_, &slaveFd_, nullptr, nullptr, nullptr) != 0)
        throw SystemError("cannot create a pseudo-terminal");
    try {
        // Raw before anyone can write: an echoing or line-editing pty would
        // bounce requests back and mangle binary frames.
        termios t{};
        if (::tcgetattr(slaveFd_, &t) != 0)
            throw SystemError("cannot read the pseudo-terminal's settings");
        ::cfmakeraw(&t);
        if (::tcsetattr(slaveFd_, TCSANOW, &t) != 0)
            throw SystemError("cannot set the pseudo-terminal raw");
        // The slave stays open here for the whole run: once its last
        // descriptor closes, reads on the master fail with EIO until someone
        // opens it again, which would happen every time the monitor closes
        // its port.
        ::fcntl(slaveFd_, F_SETFD, FD_CLOEXEC);
        ::fcntl(masterFd_, F_SETFD, FD_CLOEXEC);
        ::fcntl(masterFd_, F_SETFL, ::fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
        const char* name = ::ptsname(masterFd_);
        if (!name)
            throw SystemError("cannot name the pseudo-terminal");
        devicePath_ = name;
        CreateLink();
    } catch (...) {
        ::close(slaveFd_);
        ::close(masterFd_);
        throw;
    }
}

// A temporary link renamed over the old one, so the path never dangles
// half-way and a stale link from an earlier run is simply replaced.
void VirtualLine::CreateLink()
{
    struct stat st{};
    if (::lstat(linkPath_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw std::runtime_error(linkPath_ + " exists and is not a symbolic link");
    const std::string temporary = linkPath_ + ".new." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(devicePath_.c_str(), temporary.c_str()) != 0)
        throw SystemError("cannot create " + temporary);
    if (::rename(temporary.c_str(), linkPath_.c_str()) != 0) {
        const auto error = SystemError("cannot create " + linkPath_);
        ::unlink(temporary.c_str());
        throw error;
    }
}

VirtualLine::~VirtualLine()
{
    if (ReadLink(linkPath_) == devicePath_)
        ::unlink(linkPath_.c_str());
    ::close(slaveFd_);
    ::close(masterFd_);
}

void VirtualLine::Write(std::span<const uint8_t> bytes)
{
    WriteAll(masterFd_, bytes);
}

// The far end is held open here, so an empty queue is all a read can find.
bool VirtualLine::Drain()
{
    DrainInput(masterFd_);
    return true;
}

} // namespace relaysim
