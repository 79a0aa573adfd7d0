#pragma once

// The arbitrary request as the operator types it: one byte a line, one or
// two hexadecimal digits in either case, leading blanks skipped, reading
// stopping at the first other character. Input that gives no clear byte is
// refused with the line and the reason, instead of being guessed at.

#include <cstdint>
#include <string>
#include <vector>

struct HexRequest {
    std::vector<uint8_t> bytes;
    int errorLine = 0;   // 1-based; 0 when the request is good
    std::string error;   // what is wrong with that line, for the operator

    bool Ok() const { return errorLine == 0 && error.empty(); }
};

inline constexpr int kMaxRequestBytes = 255;

// lines: the memo's lines, without their breaks; an empty last line (after
// the final break) is not a byte.
HexRequest ParseHexLines(std::vector<std::string> lines);
