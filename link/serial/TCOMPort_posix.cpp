// POSIX backend of TCOMPort: termios in raw mode, non-blocking descriptor,
// every wait a poll() against a Deadline.

#include "TCOMPort_posix_p.h"

#include "Deadline.h"
#include "TCOMPort_baud.h"
#include "TCOMPort_posix_fields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <strings.h>
#include <vector>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kWriteLimitMs = 5000;

bool IsTransient(int error)
{
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

bool IsHangup(short revents)
{
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// The reason in errno after `step` failed on the device at `path`.
PortProblem SystemProblem(const std::string& path, const char* step)
{
    const int error = errno;
    PortProblem p{PortProblem::Kind::Other, step, error, std::strerror(error), {}};
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        p.kind = PortProblem::Kind::NotFound;
        break;
    case EBUSY:
    case EWOULDBLOCK:
        p.kind = PortProblem::Kind::InUse;
        break;
    case EACCES:
    case EPERM: {
        p.kind = PortProblem::Kind::NoPermission;
        struct stat st{};
        if (::stat(path.c_str(), &st) == 0) {
            std::vector<char> buffer(4096);
            group grp{};
            group* found = nullptr;
            if (::getgrgid_r(st.st_gid, &grp, buffer.data(), buffer.size(), &found) == 0 && found)
                p.group = found->gr_name;
        }
        break;
    }
    case EISDIR:
    case ENOTTY:
    case EINVAL:
        p.kind = PortProblem::Kind::NotSerial;
        break;
    default:
        break;
    }
    return p;
}

int SystemIoctl(int fd, unsigned long request, void* argument)
{
    return ::ioctl(fd, request, argument);
}

void SleepMs(int32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

constexpr TCOMPort::Platform::SystemCalls kSystemCalls{SystemIoctl, ::write, ::tcdrain, SleepMs};

} // namespace

const TCOMPort::Platform::SystemCalls* TCOMPort::Platform::calls = &kSystemCalls;

bool TCOMPort::Platform::Open(const std::string& devicePath, PortProblem& why)
{
    const int opened = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (opened < 0) {
        why = SystemProblem(devicePath, "open");
        return false;
    }
    const auto fail = [&](const char* step) {
        why = SystemProblem(devicePath, step);
        ::close(opened);
        return false;
    };
    // TIOCEXCL alone does not keep out root; the flock does, for every
    // process that opens the device through this class.
    termios t{};
    if (::flock(opened, LOCK_EX | LOCK_NB) != 0 || ::ioctl(opened, TIOCEXCL) != 0)
        return fail("lock");
    if (::tcgetattr(opened, &t) != 0)
        return fail("line settings");
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(opened, TCSANOW, &t) != 0) {
        ::ioctl(opened, TIOCNXCL);
        return fail("line settings");
    }
    fd = opened;
    timeouts = {};
    manualRts = {};
    return true;
}

void TCOMPort::Platform::Release()
{
    if (fd < 0)
        return;
    // The kernel's RS-485 mode belongs to the port, not the descriptor: it
    // would outlive this program.
    DriverRs485(Rs485Mode::Off, 0, 0);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);  // also drops the flock
    fd = -1;
}

// `change` returns false for a value it cannot express.
template <typename Change>
void TCOMPort::Platform::ModifyLine(Change change)
{
    if (!IsOpen())
        return;
    termios t{};
    if (::tcgetattr(fd, &t) != 0 || !change(t))
        return;
    ::tcsetattr(fd, TCSANOW, &t);
}

template <typename Change>
void TCOMPort::Platform::ModifyTimeouts(Change change)
{
    if (IsOpen())
        change(timeouts);
}

// The rate goes in through this system's own call (TCOMPort_baud.h), which
// may write a record of its own; the driver may also silently substitute a
// rate it cannot produce. Either refusal puts the previous settings back.
void TCOMPort::Platform::ModifyRate(uint32_t rate)
{
    if (!IsOpen())
        return;
    termios before{};
    if (::tcgetattr(fd, &before) != 0)
        return;
    if (!port_baud::SetRate(fd, rate))
        ::tcsetattr(fd, TCSANOW, &before);
}

void TCOMPort::SetBaudRate(int32_t bitsPerSecond)
{
    if (bitsPerSecond <= 0)  // 0 would mean "hang up"
        return;
    p_->ModifyRate(static_cast<uint32_t>(bitsPerSecond));
}

void TCOMPort::SetParity(uint8_t code)
{
    p_->ModifyLine([code](termios& t) { return posix_fields::ApplyParity(t, code); });
}

void TCOMPort::SetByteSize(uint8_t bits)
{
    p_->ModifyLine([bits](termios& t) { return posix_fields::ApplyByteSize(t, bits); });
}

void TCOMPort::SetStopBits(uint8_t code)
{
    p_->ModifyLine([code](termios& t) { return posix_fields::ApplyStopBits(t, code); });
}

void TCOMPort::SetReadIntervalTimeout(int32_t ms)
{
    p_->ModifyTimeouts([ms](Platform::Timeouts& t) { t.intervalMs = ms > 0 ? ms : 0; });
}

void TCOMPort::SetReadTotalTimeout(int32_t ms)
{
    p_->ModifyTimeouts([ms](Platform::Timeouts& t) { t.totalMs = ms > 0 ? ms : 0; });
}

int TCOMPort::Read(uint8_t* buffer, int n, int waitMs)
{
    if (!p_->IsOpen() || n <= 0)
        return 0;
    const Deadline wait = Deadline::In(std::chrono::milliseconds(waitMs > 0 ? waitMs : 0));
    const Deadline total = Deadline::InOrNever(p_->timeouts.totalMs);
    Deadline gap = Deadline::Never();
    int got = 0;
    for (;;) {
        const auto now = Deadline::Clock::now();
        // The driver's own timeouts end the read quietly, but only when they
        // come strictly before the caller's wait; on a tie the wait decides.
        const Deadline port = gap.Before(total) ? gap : total;
        const bool portFirst = port.Before(wait);
        if (portFirst && port.Expired(now))
            return got;
        if (wait.Expired(now)) {
            ::tcflush(p_->fd, TCIFLUSH);
            throw ETimeout();
        }
        pollfd pfd{p_->fd, POLLIN, 0};
        const int rc = ::poll(&pfd, 1, (portFirst ? port : wait).RemainingMs(now));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0)
            continue;
        if (rc > 0 && (pfd.revents & POLLIN)) {
            const ssize_t r = ::read(p_->fd, buffer + got, static_cast<size_t>(n - got));
            if (r > 0) {
                got += static_cast<int>(r);
                if (got == n)
                    return got;
                gap = Deadline::InOrNever(p_->timeouts.intervalMs);
                continue;
            }
            if (r < 0 && IsTransient(errno))
                continue;
        } else if (rc > 0 && !IsHangup(pfd.revents)) {
            continue;
        }
        // Readable with nothing to read, or an error: the line has gone (an
        // adapter unplugged, the far end of a pty closed). Polling a dead
        // descriptor would return at once forever, so let it go.
        p_->Release();
        return got;
    }
}

int TCOMPort::Platform::Send(const uint8_t* buffer, int n)
{
    const Deadline limit = Deadline::In(std::chrono::milliseconds(kWriteLimitMs));
    int done = 0;
    while (done < n) {
        const ssize_t w = calls->write(fd, buffer + done, static_cast<size_t>(n - done));
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && IsTransient(errno)) {
            if (limit.Expired()) {
                ::tcflush(fd, TCOFLUSH);
                return 0;
            }
            pollfd pfd{fd, POLLOUT, 0};
            const int rc = ::poll(&pfd, 1, limit.RemainingMs());
            if (rc <= 0 || (pfd.revents & POLLOUT) || !IsHangup(pfd.revents))
                continue;
        }
        Release();
        return done;
    }
    return done;
}

// A driver without modem lines (a pseudo-terminal) refuses; the bytes go
// out all the same, and a failure on every write would tell nothing new.
void TCOMPort::Platform::SetRts(bool asserted)
{
    int bits = TIOCM_RTS;
    calls->ioctl(fd, asserted ? TIOCMBIS : TIOCMBIC, &bits);
}

void TCOMPort::Platform::Pause(int32_t ms)
{
    if (ms > 0)
        calls->sleepMs(ms);
}

void TCOMPort::Platform::Drain()
{
    while (calls->drain(fd) != 0 && errno == EINTR) {
    }
}

int TCOMPort::Purge()
{
    // Reads and writes here complete before they return, so nothing is ever
    // pending; the buffers are deliberately left alone.
    return 0;
}

int TCOMPort::ClearErrors()
{
    if (!p_->IsOpen())
        return 0;
    int waiting = 0;
    if (::ioctl(p_->fd, FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

void TCOMPort::DiscardInput()
{
    if (p_->IsOpen())
        ::tcflush(p_->fd, TCIFLUSH);
}

std::string TCOMPort::DevicePath(const std::string& portName)
{
    if (portName.empty() || portName.front() == '/')
        return portName;
    // COMn is /dev/ttyS(n-1), as Cygwin and Wine number them.
    if (portName.size() > 3 && ::strncasecmp(portName.c_str(), "COM", 3) == 0
        && portName[3] != '0'
        && portName.find_first_not_of("0123456789", 3) == std::string::npos
        && portName.size() <= 8)
        return "/dev/ttyS" + std::to_string(std::stol(portName.substr(3)) - 1);
    return "/dev/" + portName;
}

std::string TCOMPort::PortNameFromDevicePath(const std::string& devicePath)
{
    static const std::string kDev = "/dev/";
    static const std::string kTtyS = "/dev/ttyS";
    if (devicePath.size() > kTtyS.size() && devicePath.compare(0, kTtyS.size(), kTtyS) == 0
        && devicePath.find_first_not_of("0123456789", kTtyS.size()) == std::string::npos
        && devicePath.size() <= kTtyS.size() + 6
        && (devicePath[kTtyS.size()] != '0' || devicePath.size() == kTtyS.size() + 1))
        return "COM" + std::to_string(std::stol(devicePath.substr(kTtyS.size())) + 1);
    if (devicePath.size() > kDev.size() && devicePath.compare(0, kDev.size(), kDev) == 0
        && devicePath.find('/', kDev.size()) == std::string::npos)
        return devicePath.substr(kDev.size());
    return devicePath;
}

std::vector<std::string> TCOMPort::Platform::PortNames()
{
    // From sysfs, never by opening: an open can switch the modem lines of
    // what is attached, or wait on a Bluetooth link, and a port another
    // program holds is still a port.
    std::vector<std::string> ports;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/tty", error)) {
        const std::string name = entry.path().filename().string();
        // A tty with a device behind it is a port; the consoles and the
        // pseudo-terminals have none. A bound Bluetooth link has none either.
        std::error_code ignored;
        if (!std::filesystem::exists(entry.path() / "device", ignored) && name.rfind("rfcomm", 0) != 0)
            continue;
        // A serial-core port of type 0 has no UART: the 8250 driver keeps its
        // ttyS slots whatever the machine has. (Its name cannot tell: from
        // Linux 6.5 on, such a port's device has the serial core's driver.)
        std::ifstream type(entry.path() / "type");
        int code = -1;
        if (type >> code && code == 0)
            continue;
        const std::string path = "/dev/" + name;
        if (std::filesystem::exists(path, ignored))
            ports.push_back(PortNameFromDevicePath(path));
    }
    return ports;
}
