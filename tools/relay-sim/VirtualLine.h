#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace relaysim {

// The relay's end of a pseudo-terminal, plus a symbolic link to the far end
// that the monitor opens as its serial port. The link is replaced if stale and
// removed on destruction, unless someone has since pointed it elsewhere.
class VirtualLine {
public:
    // Throws std::runtime_error with a message fit for the user.
    explicit VirtualLine(std::string linkPath);
    ~VirtualLine();
    VirtualLine(const VirtualLine&) = delete;
    VirtualLine& operator=(const VirtualLine&) = delete;

    int Fd() const { return masterFd_; }  // non-blocking
    const std::string& DevicePath() const { return devicePath_; }
    const std::string& LinkPath() const { return linkPath_; }

    // Whatever the far end has not read yet stays queued; a full queue (no
    // one reading for a long time) drops the rest of the frame.
    void Write(std::span<const uint8_t> bytes);
    // Drops whatever waits to be read from the far end.
    void Drain();

private:
    void CreateLink();

    int masterFd_ = -1;
    int slaveFd_ = -1;
    std::string devicePath_;
    std::string linkPath_;
};

} // namespace relaysim
