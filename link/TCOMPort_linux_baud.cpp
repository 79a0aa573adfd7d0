#include "TCOMPort_linux_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace linux_baud {

bool SetCustomRate(int fd, uint32_t rate)
{
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    t.c_ispeed = rate;
    t.c_ospeed = rate;
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return false;
    termios2 after{};
    return ::ioctl(fd, TCGETS2, &after) == 0 && after.c_ospeed == rate;
}

} // namespace linux_baud
