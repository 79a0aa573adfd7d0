#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace relaysim {

// The relay's side of whatever carries the RTU frames: a pseudo-terminal, or
// a TCP connection as through a serial device server in transparent mode.
class Line {
public:
    virtual ~Line() = default;

    // Requests are read here (non-blocking); -1 while there is no far end.
    virtual int Fd() const = 0;
    // Readable when a client knocks; -1 for a line that takes none.
    virtual int ListenFd() const { return -1; }
    // What the monitor puts in PORT, and a line on where it leads.
    virtual std::string PortName() const = 0;
    virtual std::string Where() const = 0;

    // Takes a knocking client, or turns it away; says which (empty: nobody).
    virtual std::string Accept() { return {}; }
    // Lets go of a far end that has gone; says so, or nullopt when the line
    // cannot go on without it.
    virtual std::optional<std::string> Release() = 0;

    // Whatever the far end has not read yet stays queued; a full queue (no
    // one reading for a long time) drops the rest of the frame.
    virtual void Write(std::span<const uint8_t> bytes) = 0;
    // Drops whatever waits to be read; false when that finds the far end gone.
    virtual bool Drain() = 0;
};

// The two I/O steps every line shares, on a non-blocking descriptor.
void WriteAll(int fd, std::span<const uint8_t> bytes);
bool DrainInput(int fd);  // false: end of file or an error

} // namespace relaysim
