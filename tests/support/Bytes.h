#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// "01 03 0A" -> {0x01, 0x03, 0x0A}
inline Bytes ParseHex(std::string_view text)
{
    Bytes out;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

// {0x01, 0x0A} -> "01 0A ", as the log writes a frame after its label --
// written here, apart from the link's own formatter, so the two check each
// other.
inline std::string HexText(std::span<const uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
        text += ' ';
    }
    return text;
}

// Bit by bit, straight from the polynomial: independent of the link's tables.
inline uint16_t BitwiseCrc(std::span<const uint8_t> bytes)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

inline Bytes WithCrc(Bytes frame)
{
    const uint16_t crc = BitwiseCrc(frame);
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

// Log line without its time stamp: everything after the first tab.
inline std::string Body(const std::string& line)
{
    const auto tab = line.find('\t');
    return tab == std::string::npos ? line : line.substr(tab + 1);
}

} // namespace testing_support
