#include "MbapFrame.h"

#include <algorithm>

namespace modbus {

std::vector<uint8_t> WrapMbap(uint16_t transaction, uint8_t unit, std::span<const uint8_t> pdu)
{
    const auto length = static_cast<uint16_t>(pdu.size() + 1);
    std::vector<uint8_t> frame(kMbapSize + pdu.size());
    frame[0] = static_cast<uint8_t>(transaction >> 8);
    frame[1] = static_cast<uint8_t>(transaction & 0xFF);
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length & 0xFF);
    frame[6] = unit;
    std::copy(pdu.begin(), pdu.end(), frame.begin() + kMbapSize);
    return frame;
}

MbapHeader ParseMbap(std::span<const uint8_t> frame)
{
    MbapHeader h;
    if (frame.size() < kMbapSize)
        return h;
    h.transaction = static_cast<uint16_t>(frame[0] << 8 | frame[1]);
    h.protocol = static_cast<uint16_t>(frame[2] << 8 | frame[3]);
    h.length = static_cast<uint16_t>(frame[4] << 8 | frame[5]);
    h.unit = frame[6];
    return h;
}

bool IsFrameHeader(const MbapHeader& header)
{
    return header.protocol == 0 && header.length >= 2 && header.length <= kMaxMbapLength;
}

bool IsEarlierTransaction(uint16_t a, uint16_t b)
{
    return a != b && static_cast<uint16_t>(b - a) < 0x8000;
}

bool IsExceptionPdu(std::span<const uint8_t> pdu)
{
    return pdu.size() == 2 && (pdu[0] & 0x80) != 0;
}

} // namespace modbus
