// The kernel's RS-485 mode (TIOCSRS485): the driver switches RTS itself,
// timed by the UART rather than by this process.

#include "TCOMPort_posix_p.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

namespace {

constexpr uint32_t kPolarity = SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;

bool Get(int fd, serial_rs485& record)
{
    return TCOMPort::Platform::calls->ioctl(fd, TIOCGRS485, &record) == 0;
}

bool Set(int fd, serial_rs485& record)
{
    return TCOMPort::Platform::calls->ioctl(fd, TIOCSRS485, &record) == 0;
}

} // namespace

bool TCOMPort::Platform::DriverRs485(Rs485Mode mode, int32_t beforeMs, int32_t afterMs)
{
    serial_rs485 found{};
    if (mode == Rs485Mode::Off) {
        // A mode the system had on before (set up for the board) stays on.
        if (driverRs485Ours && Get(fd, found)) {
            found.flags &= ~SER_RS485_ENABLED;
            Set(fd, found);
        }
        driverRs485Ours = false;
        return false;
    }
    // Read first: the other flags (receiving while sending, bus
    // termination) are the board's, not ours to change.
    if (!Get(fd, found))
        return false;
    serial_rs485 wanted = found;
    wanted.flags = (found.flags & ~kPolarity) | SER_RS485_ENABLED
                   | (mode == Rs485Mode::Rts ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
    wanted.delay_rts_before_send = static_cast<uint32_t>(beforeMs);
    wanted.delay_rts_after_send = static_cast<uint32_t>(afterMs);
    serial_rs485 taken = wanted;
    if (!Set(fd, taken))
        return false;
    driverRs485Ours = driverRs485Ours || !(found.flags & SER_RS485_ENABLED);
    // The driver hands back what it keeps: it drops a polarity it cannot
    // produce and caps the delays (the serial core at 100 ms).
    const uint32_t mask = SER_RS485_ENABLED | kPolarity;
    if ((taken.flags & mask) == (wanted.flags & mask) && taken.delay_rts_before_send == wanted.delay_rts_before_send
        && taken.delay_rts_after_send == wanted.delay_rts_after_send)
        return true;
    // Its own RTS switching would fight the program's.
    taken.flags &= ~SER_RS485_ENABLED;
    Set(fd, taken);
    driverRs485Ours = false;
    return false;
}
