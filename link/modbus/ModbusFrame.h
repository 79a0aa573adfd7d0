#pragma once

// Modbus RTU frames as pure functions: building requests and checking
// responses, no I/O. Multi-byte fields travel high byte first, the CRC low
// byte first.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace modbus {

// CRC-16/MODBUS (poly 0xA001 reflected, init 0xFFFF, no final XOR).
uint16_t Crc16(std::span<const uint8_t> bytes);

using Request = std::array<uint8_t, 8>;
using RequestPdu = std::array<uint8_t, 5>;

// The PDUs of the two requests the master sends: function, then two fields.
RequestPdu ReadHoldingRegistersPdu(uint16_t first, uint16_t count);
RequestPdu WriteCoilPdu(uint16_t coil, bool on);

Request BuildReadHoldingRegisters(uint8_t slave, uint16_t first, uint16_t count);
Request BuildWriteCoil(uint8_t slave, uint16_t coil, bool on);
// The caller's bytes unchanged, followed by their CRC when asked for.
std::vector<uint8_t> BuildRaw(std::span<const uint8_t> bytes, bool appendCrc);

// Reply PDUs: function, byte count, the registers; function 5 repeats its
// request. An RTU reply adds the address and the CRC.
constexpr std::size_t ReadHoldingRegistersReplyPduSize(uint16_t count)
{
    return 2 + 2 * std::size_t{count};
}
constexpr std::size_t WriteCoilReplyPduSize = 5;
constexpr std::size_t ReadHoldingRegistersReplySize(uint16_t count)
{
    return ReadHoldingRegistersReplyPduSize(count) + 3;
}

// The size of the reply PDU a well-formed request PDU asks for, of the
// functions whose replies tell their length only by it (1-6, 15, 16, 22,
// 23); nothing for any other function or a request that is not well formed.
std::optional<std::size_t> ReplyPduSize(std::span<const uint8_t> requestPdu);

// True when the last two bytes of `frame` are the CRC of the bytes before.
bool TrailingCrcMatches(std::span<const uint8_t> frame);

// The PDU of an RTU frame: its bytes without the address and the CRC.
std::span<const uint8_t> RtuPdu(std::span<const uint8_t> rtuFrame);

// The one check of a reply, whatever its framing, after the framing's own
// (CRC, MBAP header): it comes from the unit asked, with the function asked,
// and a function-3 reply holds exactly the registers asked for with their
// byte count, a function-5 reply the coil and the state asked for. A frame
// from another slave on a shared line, or for another request, is then
// rejected like a bad CRC.
bool ReplyAnswers(uint8_t unit, std::span<const uint8_t> requestPdu, uint8_t replyUnit,
                  std::span<const uint8_t> replyPdu);
// The count registers of a function-3 reply PDU that ReplyAnswers took.
void DecodeRegisters(std::span<const uint8_t> replyPdu, uint16_t count, uint16_t* dest);
// Accepts any reply of at least 2 bytes ending in its CRC.
bool CheckRawReply(std::span<const uint8_t> reply);
// An exception reply: address, function with its top bit set, the code, CRC.
bool IsExceptionReply(std::span<const uint8_t> reply);

// "label: 01 0A FF " -- two upper-case digits and a space per byte.
std::string FormatFrame(const std::string& label, std::span<const uint8_t> bytes);

} // namespace modbus
