#include "ModbusFrame.h"

#include <algorithm>

namespace modbus {
namespace {

// The two 256-entry byte tables of the table-driven Modbus CRC, one for each
// byte of the running value, derived from the reflected polynomial.
struct CrcTables {
    std::array<uint8_t, 256> lo{};
    std::array<uint8_t, 256> hi{};
};

constexpr CrcTables MakeCrcTables()
{
    CrcTables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned v = i;
        for (int bit = 0; bit < 8; ++bit)
            v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
        t.lo[i] = static_cast<uint8_t>(v & 0xFF);
        t.hi[i] = static_cast<uint8_t>(v >> 8);
    }
    return t;
}

constexpr CrcTables kCrc = MakeCrcTables();

void PutCrc(uint8_t* at, uint16_t crc)
{
    at[0] = static_cast<uint8_t>(crc & 0xFF);
    at[1] = static_cast<uint8_t>(crc >> 8);
}

RequestPdu FixedPdu(uint8_t function, uint16_t a, uint16_t b)
{
    return {function, static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a & 0xFF), static_cast<uint8_t>(b >> 8),
            static_cast<uint8_t>(b & 0xFF)};
}

Request BuildFixed(uint8_t slave, const RequestPdu& pdu)
{
    Request r{slave, pdu[0], pdu[1], pdu[2], pdu[3], pdu[4], 0, 0};
    PutCrc(&r[6], Crc16(std::span(r).first(6)));
    return r;
}

} // namespace

uint16_t Crc16(std::span<const uint8_t> bytes)
{
    uint8_t lo = 0xFF;
    uint8_t hi = 0xFF;
    for (uint8_t b : bytes) {
        const uint8_t index = lo ^ b;
        lo = hi ^ kCrc.lo[index];
        hi = kCrc.hi[index];
    }
    return static_cast<uint16_t>(hi << 8 | lo);
}

RequestPdu ReadHoldingRegistersPdu(uint16_t first, uint16_t count)
{
    return FixedPdu(0x03, first, count);
}

RequestPdu WriteCoilPdu(uint16_t coil, bool on)
{
    return FixedPdu(0x05, coil, on ? 0xFF00 : 0x0000);
}

Request BuildReadHoldingRegisters(uint8_t slave, uint16_t first, uint16_t count)
{
    return BuildFixed(slave, ReadHoldingRegistersPdu(first, count));
}

Request BuildWriteCoil(uint8_t slave, uint16_t coil, bool on)
{
    return BuildFixed(slave, WriteCoilPdu(coil, on));
}

std::vector<uint8_t> BuildRaw(std::span<const uint8_t> bytes, bool appendCrc)
{
    std::vector<uint8_t> frame(bytes.begin(), bytes.end());
    if (appendCrc) {
        frame.resize(bytes.size() + 2);
        PutCrc(&frame[bytes.size()], Crc16(bytes));
    }
    return frame;
}

std::optional<std::size_t> ReplyPduSize(std::span<const uint8_t> pdu)
{
    if (pdu.empty())
        return std::nullopt;
    const auto field = [&](std::size_t at) { return static_cast<std::size_t>(pdu[at] << 8 | pdu[at + 1]); };
    switch (pdu[0]) {
    case 0x01:
    case 0x02:
        if (pdu.size() != 5 || field(3) < 1 || field(3) > 2000)
            return std::nullopt;
        return 2 + (field(3) + 7) / 8;
    case 0x03:
    case 0x04:
        if (pdu.size() != 5 || field(3) < 1 || field(3) > 125)
            return std::nullopt;
        return 2 + 2 * field(3);
    case 0x05:
    case 0x06:
        return pdu.size() == 5 ? std::optional<std::size_t>(5) : std::nullopt;
    case 0x0F:
    case 0x10: {
        // Address, count, byte count, then the values the count needs.
        if (pdu.size() < 7 || field(3) < 1)
            return std::nullopt;
        const std::size_t bytes = pdu[0] == 0x0F ? (field(3) + 7) / 8 : 2 * field(3);
        if (pdu[5] != bytes || pdu.size() != 6 + bytes)
            return std::nullopt;
        return 5;
    }
    case 0x16:
        return pdu.size() == 7 ? std::optional<std::size_t>(7) : std::nullopt;
    case 0x17: {
        if (pdu.size() < 11 || field(3) < 1 || field(3) > 125 || field(7) < 1)
            return std::nullopt;
        if (pdu[9] != 2 * field(7) || pdu.size() != 10 + 2 * field(7))
            return std::nullopt;
        return 2 + 2 * field(3);
    }
    default:
        return std::nullopt;
    }
}

bool IsExceptionReply(std::span<const uint8_t> reply)
{
    return reply.size() == 5 && (reply[1] & 0x80) != 0 && TrailingCrcMatches(reply);
}

bool TrailingCrcMatches(std::span<const uint8_t> frame)
{
    if (frame.size() < 2)
        return false;
    const std::size_t k = frame.size() - 2;
    const uint16_t received = static_cast<uint16_t>(frame[k] | frame[k + 1] << 8);
    return Crc16(frame.first(k)) == received;
}

std::span<const uint8_t> RtuPdu(std::span<const uint8_t> rtuFrame)
{
    return rtuFrame.size() < 3 ? std::span<const uint8_t>() : rtuFrame.subspan(1, rtuFrame.size() - 3);
}

bool ReplyAnswers(uint8_t unit, std::span<const uint8_t> requestPdu, uint8_t replyUnit,
                  std::span<const uint8_t> replyPdu)
{
    if (requestPdu.empty() || replyPdu.empty() || replyUnit != unit || replyPdu[0] != requestPdu[0])
        return false;
    switch (requestPdu[0]) {
    case 0x03: {
        if (requestPdu.size() != 5)
            return false;
        const std::size_t bytes = 2 * std::size_t{static_cast<uint16_t>(requestPdu[3] << 8 | requestPdu[4])};
        return replyPdu.size() == 2 + bytes && replyPdu[1] == bytes;
    }
    case 0x05:
        // The relay repeats the coil and the state it set.
        return std::equal(requestPdu.begin(), requestPdu.end(), replyPdu.begin(), replyPdu.end());
    default:
        return true;
    }
}

void DecodeRegisters(std::span<const uint8_t> replyPdu, uint16_t count, uint16_t* dest)
{
    for (std::size_t i = 0; i < count; ++i)
        dest[i] = static_cast<uint16_t>(replyPdu[2 + 2 * i] << 8 | replyPdu[3 + 2 * i]);
}

bool CheckRawReply(std::span<const uint8_t> reply)
{
    return TrailingCrcMatches(reply);
}

std::string FormatFrame(const std::string& label, std::span<const uint8_t> bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(label.size() + 2 + 3 * bytes.size());
    text += label;
    text += ": ";
    for (uint8_t b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 0x0F];
        text += ' ';
    }
    return text;
}

} // namespace modbus
