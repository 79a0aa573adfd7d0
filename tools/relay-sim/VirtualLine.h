#pragma once

#include "Line.h"

#include <string>

namespace relaysim {

// The relay's end of a pseudo-terminal, plus a symbolic link to the far end
// that the monitor opens as its serial port. The link is replaced if stale and
// removed on destruction, unless someone has since pointed it elsewhere.
class VirtualLine : public Line {
public:
    // Throws std::runtime_error with a message fit for the user.
    explicit VirtualLine(std::string linkPath);
    ~VirtualLine() override;
    VirtualLine(const VirtualLine&) = delete;
    VirtualLine& operator=(const VirtualLine&) = delete;

    int Fd() const override { return masterFd_; }
    std::string PortName() const override { return devicePath_; }
    std::string Where() const override { return "link: " + linkPath_ + " -> " + devicePath_; }
    // A hung-up pseudo-terminal does not come back.
    std::optional<std::string> Release() override { return std::nullopt; }
    void Write(std::span<const uint8_t> bytes) override;
    bool Drain() override;

private:
    void CreateLink();

    int masterFd_ = -1;
    int slaveFd_ = -1;
    std::string devicePath_;
    std::string linkPath_;
};

} // namespace relaysim
