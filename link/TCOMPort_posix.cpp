// POSIX backend of TCOMPort: termios in raw mode, non-blocking descriptor,
// every wait a poll() against a Deadline.

#include "TCOMPort.h"

#include "Deadline.h"
#include "TCOMPort_linux_baud.h"
#include "TCOMPort_posix_fields.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kWriteLimitMs = 5000;

struct BaudConstant {
    int32_t rate;
    speed_t code;
};

constexpr BaudConstant kStandardRates[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

bool IsTransient(int error)
{
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

bool IsHangup(short revents)
{
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace

struct TCOMPort::Platform {
    int fd = -1;
    int32_t intervalMs = 0;  // 0: no inter-byte timeout
    int32_t totalMs = 0;     // 0: no total timeout

    bool IsOpen() const { return fd >= 0; }

    void Release()
    {
        if (fd < 0)
            return;
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);  // also drops the flock
        fd = -1;
    }

    // Read the whole record, let `change` alter one field, write it back.
    // `change` returns false for a value it cannot express.
    template <typename Change>
    void Modify(Change change)
    {
        if (!IsOpen())
            return;
        termios t{};
        if (::tcgetattr(fd, &t) != 0 || !change(t))
            return;
        ::tcsetattr(fd, TCSANOW, &t);
    }

    // The driver may silently substitute a rate it cannot produce; that counts
    // as a refusal, and the previous settings are put back.
    void SetBaud(int32_t rate)
    {
        if (!IsOpen() || rate <= 0)  // 0 would mean "hang up"
            return;
        termios before{};
        if (::tcgetattr(fd, &before) != 0)
            return;
        for (const auto& standard : kStandardRates) {
            if (standard.rate != rate)
                continue;
            termios t = before;
            ::cfsetispeed(&t, standard.code);
            ::cfsetospeed(&t, standard.code);
            termios after{};
            if (::tcsetattr(fd, TCSANOW, &t) != 0 || ::tcgetattr(fd, &after) != 0
                || ::cfgetospeed(&after) != standard.code)
                ::tcsetattr(fd, TCSANOW, &before);
            return;
        }
        if (!linux_baud::SetCustomRate(fd, static_cast<uint32_t>(rate)))
            ::tcsetattr(fd, TCSANOW, &before);
    }
};

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
    const int fd = ::open(portName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // TIOCEXCL alone does not keep out root; the flock does, for every
    // process that opens the device through this class.
    termios t{};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0
        || ::tcgetattr(fd, &t) != 0) {
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        return false;
    }
    p_->fd = fd;
    p_->intervalMs = 0;
    p_->totalMs = 0;
    return true;
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

void TCOMPort::SetBaudRate(int32_t bitsPerSecond)
{
    p_->SetBaud(bitsPerSecond);
}

void TCOMPort::SetParity(uint8_t code)
{
    p_->Modify([code](termios& t) { return posix_fields::ApplyParity(t, code); });
}

void TCOMPort::SetByteSize(uint8_t bits)
{
    p_->Modify([bits](termios& t) { return posix_fields::ApplyByteSize(t, bits); });
}

void TCOMPort::SetStopBits(uint8_t code)
{
    p_->Modify([code](termios& t) { return posix_fields::ApplyStopBits(t, code); });
}

void TCOMPort::SetReadIntervalTimeout(int32_t ms)
{
    if (p_->IsOpen())
        p_->intervalMs = ms > 0 ? ms : 0;
}

void TCOMPort::SetReadTotalTimeout(int32_t ms)
{
    if (p_->IsOpen())
        p_->totalMs = ms > 0 ? ms : 0;
}

int TCOMPort::Read(uint8_t* buffer, int n, int waitMs)
{
    if (!p_->IsOpen() || n <= 0)
        return 0;
    const Deadline wait = Deadline::In(std::chrono::milliseconds(waitMs > 0 ? waitMs : 0));
    const Deadline total = Deadline::InOrNever(p_->totalMs);
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
                gap = Deadline::InOrNever(p_->intervalMs);
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

int TCOMPort::Write(const uint8_t* buffer, int n)
{
    if (!p_->IsOpen() || n <= 0)
        return 0;
    const Deadline limit = Deadline::In(std::chrono::milliseconds(kWriteLimitMs));
    int done = 0;
    while (done < n) {
        const ssize_t w = ::write(p_->fd, buffer + done, static_cast<size_t>(n - done));
        if (w > 0) {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && IsTransient(errno)) {
            if (limit.Expired()) {
                ::tcflush(p_->fd, TCOFLUSH);
                return 0;
            }
            pollfd pfd{p_->fd, POLLOUT, 0};
            const int rc = ::poll(&pfd, 1, limit.RemainingMs());
            if (rc <= 0 || (pfd.revents & POLLOUT) || !IsHangup(pfd.revents))
                continue;
        }
        p_->Release();
        return done;
    }
    return done;
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

namespace {

// Kernel names of serial devices: UARTs, USB adapters (FTDI/CP210x/CH340 and
// CDC-ACM), SoC UARTs and Bluetooth serial links.
constexpr const char* kSerialPrefixes[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "ttymxc", "rfcomm"};

// "ttyUSB10" sorts after "ttyUSB9".
bool NaturalLess(const std::string& a, const std::string& b)
{
    const auto split = [](const std::string& s) {
        const auto digits = s.find_first_of("0123456789");
        const std::string stem = s.substr(0, digits);
        const long number = digits == std::string::npos ? -1 : std::strtol(s.c_str() + digits, nullptr, 10);
        return std::make_pair(stem, number);
    };
    return split(a) < split(b);
}

// Opens and closes at once, touching no setting: only whether the device
// exists, answers and is free of other users.
bool CanOpen(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    termios t{};
    const bool usable = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::tcgetattr(fd, &t) == 0;
    ::close(fd);
    return usable;
}

} // namespace

std::vector<std::string> TCOMPort::AvailablePorts()
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        for (const char* prefix : kSerialPrefixes) {
            const std::size_t length = std::strlen(prefix);
            if (name.size() > length && name.compare(0, length, prefix) == 0
                && std::isdigit(static_cast<unsigned char>(name[length])))
                names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), NaturalLess);
    std::vector<std::string> ports;
    for (const auto& name : names) {
        const std::string path = "/dev/" + name;
        if (CanOpen(path))
            ports.push_back(PortNameFromDevicePath(path));
    }
    return ports;
}
