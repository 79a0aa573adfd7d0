// Rates on a Unix system other than Linux: the ones with a termios constant.
// A rate without one is refused, as a driver's refusal is, and the caller
// keeps the previous settings.

#include "TCOMPort_baud.h"

#include <termios.h>

namespace port_baud {
namespace {

struct RateCode {
    uint32_t rate;
    speed_t code;
};

// POSIX's own, and the three above them that every Unix in use adds.
constexpr RateCode kRateCodes[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

} // namespace

bool SetRate(int fd, uint32_t rate)
{
    for (const auto& known : kRateCodes) {
        if (known.rate != rate)
            continue;
        termios t{};
        if (::tcgetattr(fd, &t) != 0 || ::cfsetspeed(&t, known.code) != 0
            || ::tcsetattr(fd, TCSANOW, &t) != 0)
            return false;
        // The driver may quietly keep a rate it can produce instead.
        termios after{};
        return ::tcgetattr(fd, &after) == 0 && ::cfgetospeed(&after) == known.code;
    }
    return false;
}

} // namespace port_baud
