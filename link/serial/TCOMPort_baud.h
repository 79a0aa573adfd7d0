#pragma once

#include <cstdint>

// How this system puts a rate on a serial line. CMake picks the file:
// TCOMPort_linux_baud.cpp on Linux (every rate, through termios2, whose
// header cannot share a translation unit with <termios.h>), and
// TCOMPort_posix_baud.cpp elsewhere (the standard rates alone).
namespace port_baud {
// Sets `rate` on the open descriptor and reads it back: true only when the
// driver took exactly this rate. On false the caller puts its own copy of
// the previous settings back, whatever this got as far as.
bool SetRate(int fd, uint32_t rate);
}
