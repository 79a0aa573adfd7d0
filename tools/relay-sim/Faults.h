#pragma once

// How a reply leaves the relay: when, on a line of a given speed, and which
// injected faults spoil it. Pure functions and a seeded picker; the I/O is
// elsewhere.

#include "Options.h"

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

namespace relaysim {

// Time for `characters` on the line: 10 bits each (start, 8 data, stop).
std::chrono::microseconds WireTime(double characters, uint32_t bitsPerSecond);

// A pseudo-terminal or a TCP connection delivers at once, so a reply is held
// back until it could have arrived over a real line: the request, the
// 3.5-character silence that ends it, then the reply itself.
std::chrono::microseconds ReplyDelay(std::size_t requestBytes, std::size_t replyBytes,
                                     uint32_t bitsPerSecond);

struct FaultDecision {
    bool drop = false;
    bool badCrc = false;
    bool stray = false;
    bool late = false;
    bool exception = false;

    bool operator==(const FaultDecision&) const = default;
};

// Decides, reply by reply, which faults hit it. Each fault counts replies on
// its own, so "1/3" hits replies 3, 6, 9... whatever the other faults do.
class FaultPicker {
public:
    explicit FaultPicker(const FaultOptions& options);
    FaultDecision Next();

private:
    bool Hit(const FaultRate& rate);

    FaultOptions options_;
    uint64_t replies_ = 0;
    std::mt19937 random_;
};

// Applies the byte-level faults to a finished reply: a corrupted CRC (its
// high byte inverted, so the frame keeps its length) and a stray byte ahead
// of the frame.
std::vector<uint8_t> ShapeReply(std::vector<uint8_t> reply, const FaultDecision& decision);

constexpr uint8_t kStrayByte = 0x00;

} // namespace relaysim
