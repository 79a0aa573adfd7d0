#pragma once

// One termios field per line setting, kept apart from the descriptor so the
// mapping of Win32-style codes can be checked on a plain record. Each returns
// false, leaving the record alone, for a code it cannot express.

#include <cstdint>
#include <termios.h>

namespace posix_fields {

// Mark and space parity need CMSPAR, which Linux has and most other Unix
// systems lack; there those two codes are refused like one out of range.
#ifdef CMSPAR
inline constexpr tcflag_t kStickParity = CMSPAR;
#else
inline constexpr tcflag_t kStickParity = 0;
#endif

// 0 none, 1 odd, 2 even, 3 mark, 4 space; checking on for any parity.
inline bool ApplyParity(termios& t, uint8_t code)
{
    if (code > 4 || (code >= 3 && kStickParity == 0))
        return false;
    t.c_cflag &= ~(PARENB | PARODD | kStickParity);
    t.c_iflag &= ~INPCK;
    if (code == 0)
        return true;
    t.c_cflag |= PARENB;
    t.c_iflag |= INPCK;
    if (code == 1 || code == 3)
        t.c_cflag |= PARODD;
    if (code >= 3)
        t.c_cflag |= kStickParity;  // mark (with PARODD) or space
    return true;
}

inline bool ApplyByteSize(termios& t, uint8_t bits)
{
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (bits < 5 || bits > 8)
        return false;
    t.c_cflag = (t.c_cflag & ~CSIZE) | kSizes[bits - 5];
    return true;
}

// 0 one, 1 one and a half, 2 two. POSIX has no one-and-a-half: the driver
// sends two where it means it.
inline bool ApplyStopBits(termios& t, uint8_t code)
{
    if (code > 2)
        return false;
    if (code == 0)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;
    return true;
}

} // namespace posix_fields
