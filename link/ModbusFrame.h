#pragma once

// Modbus RTU frames as pure functions: building requests and checking
// responses, no I/O. Multi-byte fields travel high byte first, the CRC low
// byte first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace modbus {

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF, no final XOR).
uint16_t Crc16(std::span<const uint8_t> bytes);

using Request = std::array<uint8_t, 8>;

Request BuildReadHoldingRegisters(uint8_t slave, uint16_t first, uint16_t count);
Request BuildWriteCoil(uint8_t slave, uint16_t coil, bool on);
// The caller's bytes unchanged, followed by their CRC when asked for.
std::vector<uint8_t> BuildRaw(std::span<const uint8_t> bytes, bool appendCrc);

constexpr std::size_t ReadHoldingRegistersReplySize(uint16_t count)
{
    return 2 * std::size_t{count} + 5;
}
constexpr std::size_t WriteCoilReplySize = 8;

// True when the last two bytes of `frame` are the CRC of the bytes before.
bool TrailingCrcMatches(std::span<const uint8_t> frame);

// Accepts exactly 2*count+5 bytes ending in their CRC; only then are the
// count register values decoded into dest. Address, function code and byte
// count are not examined.
bool DecodeReadHoldingRegisters(std::span<const uint8_t> reply, uint16_t count,
                                uint16_t* dest);
// Accepts exactly 8 bytes ending in their CRC; the echo is not compared.
bool CheckWriteCoilReply(std::span<const uint8_t> reply);
// Accepts any reply of at least 2 bytes ending in its CRC.
bool CheckRawReply(std::span<const uint8_t> reply);
// An exception reply: address, function with its top bit set, the code, CRC.
bool IsExceptionReply(std::span<const uint8_t> reply);

// "label: 01 0A FF " -- two upper-case digits and a space per byte.
std::string FormatFrame(const std::string& label, std::span<const uint8_t> bytes);

} // namespace modbus
