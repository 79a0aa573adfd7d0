#pragma once

#include <cstdint>

// Rates without a Bnnn constant go through termios2/BOTHER, whose header
// cannot share a translation unit with <termios.h>.
namespace linux_baud {
// True when the driver took exactly this rate.
bool SetCustomRate(int fd, uint32_t rate);
}
