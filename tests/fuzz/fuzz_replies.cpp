// Function-3, function-5 and raw reply checks on any bytes and any register
// count: accepted exactly when length and CRC are right, and a rejected
// function-3 reply leaves the destination untouched.

#include "FuzzSupport.h"
#include "ModbusFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const uint16_t count = static_cast<uint16_t>(data[0] | data[1] << 8);
    const std::span<const uint8_t> reply(data + 2, size - 2);

    constexpr uint16_t kUntouched = 0xA55A;
    std::vector<uint16_t> dest(std::size_t{count} + 1, kUntouched);
    const bool accepted = modbus::DecodeReadHoldingRegisters(reply, count, dest.data());
    const bool expected = reply.size() == 2 * std::size_t{count} + 5 && ReferenceTrailingCrc(reply);
    FUZZ_CHECK(accepted == expected);
    for (std::size_t i = 0; i < count; ++i) {
        const uint16_t value = accepted ? static_cast<uint16_t>(reply[3 + 2 * i] << 8 | reply[4 + 2 * i]) : kUntouched;
        FUZZ_CHECK(dest[i] == value);
    }
    FUZZ_CHECK(dest[count] == kUntouched);

    FUZZ_CHECK(modbus::CheckWriteCoilReply(reply) == (reply.size() == 8 && ReferenceTrailingCrc(reply)));
    FUZZ_CHECK(modbus::CheckRawReply(reply) == ReferenceTrailingCrc(reply));
    return 0;
}
