#pragma once

// Modbus TCP frames as pure functions: the MBAP header (transaction,
// protocol 0, length, unit) before the PDU, with no CRC. Fields travel high
// byte first.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace modbus {

constexpr std::size_t kMbapSize = 7;
// The unit byte and the longest PDU, 253 bytes.
constexpr uint16_t kMaxMbapLength = 254;

struct MbapHeader {
    uint16_t transaction = 0;
    uint16_t protocol = 0;
    uint16_t length = 0;  // the unit byte and the PDU
    uint8_t unit = 0;
};

std::vector<uint8_t> WrapMbap(uint16_t transaction, uint8_t unit, std::span<const uint8_t> pdu);
// The first kMbapSize bytes of `frame`.
MbapHeader ParseMbap(std::span<const uint8_t> frame);
// Protocol 0 and a length that a frame can have: the unit and at least a
// function code, at most kMaxMbapLength. Anything else is no Modbus TCP
// frame, and its length is not to be waited for.
bool IsFrameHeader(const MbapHeader& header);
// True when transaction `a` was sent before `b` (identifiers wrap at 65536).
bool IsEarlierTransaction(uint16_t a, uint16_t b);

// An exception reply's PDU: the function with its top bit set, the code.
bool IsExceptionPdu(std::span<const uint8_t> pdu);

} // namespace modbus
