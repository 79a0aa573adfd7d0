// Systems without Linux's RS-485 mode: Write drives RTS itself.

#include "TCOMPort_posix_p.h"

bool TCOMPort::Platform::DriverRs485(Rs485Mode, int32_t, int32_t)
{
    return false;
}
