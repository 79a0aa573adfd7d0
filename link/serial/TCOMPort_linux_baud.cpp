#include "TCOMPort_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace port_baud {
namespace {

struct RateCode {
    uint32_t rate;
    tcflag_t code;
};

constexpr RateCode kRateCodes[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

// The kernel's code for a rate it has one for, else BOTHER.
tcflag_t CodeFor(uint32_t rate)
{
    for (const auto& known : kRateCodes)
        if (known.rate == rate)
            return known.code;
    return BOTHER;
}

} // namespace

bool SetRate(int fd, uint32_t rate)
{
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    const tcflag_t code = CodeFor(rate);
    // A rate with a code goes in as cfsetispeed/cfsetospeed put it: the input
    // rate field is left as it was. Any other one is given in both speed
    // fields.
    t.c_cflag = (t.c_cflag & ~CBAUD) | code;
    if (code == BOTHER) {
        t.c_cflag = (t.c_cflag & ~(CBAUD << IBSHIFT)) | (BOTHER << IBSHIFT);
        t.c_ispeed = rate;
        t.c_ospeed = rate;
    }
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return false;
    // The driver may quietly keep a rate it can produce instead.
    termios2 after{};
    if (::ioctl(fd, TCGETS2, &after) != 0)
        return false;
    return code == BOTHER ? after.c_ospeed == rate : (after.c_cflag & CBAUD) == code;
}

} // namespace port_baud
