// Function-3, function-5 and raw reply checks on any bytes, any slave
// address and any register count: accepted exactly when the length and the
// CRC are right and the reply comes from the slave asked with the function
// asked (and for function 3 the byte count of the registers asked, for
// function 5 the coil and the state asked).

#include "Framing.h"
#include "FuzzSupport.h"
#include "ModbusFrame.h"

#include <algorithm>

namespace {

// A reply as the master takes it on RTU: opened by the framing, then checked.
bool Answers(std::span<const uint8_t> request, std::span<const uint8_t> reply)
{
    modbus::RtuFraming rtu;
    uint8_t unit = 0;
    std::span<const uint8_t> pdu;
    return rtu.Open(reply, unit, pdu) && modbus::ReplyAnswers(request[0], modbus::RtuPdu(request), unit, pdu);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const uint16_t count = static_cast<uint16_t>(data[0] | data[1] << 8);
    const uint8_t slave = data[2];
    const std::span<const uint8_t> reply(data + 3, size - 3);
    const bool fromSlave = reply.size() >= 4 && ReferenceTrailingCrc(reply) && reply[0] == slave;

    const auto poll = modbus::BuildReadHoldingRegisters(slave, 0, count);
    const bool accepted = Answers(poll, reply);
    FUZZ_CHECK(accepted
               == (fromSlave && reply.size() == 2 * std::size_t{count} + 5 && reply[1] == 0x03
                   && reply[2] == 2 * std::size_t{count}));
    if (accepted) {
        std::vector<uint16_t> dest(count);
        modbus::DecodeRegisters(modbus::RtuPdu(reply), count, dest.data());
        for (std::size_t i = 0; i < count; ++i)
            FUZZ_CHECK(dest[i] == static_cast<uint16_t>(reply[3 + 2 * i] << 8 | reply[4 + 2 * i]));
    }

    const auto coil = modbus::BuildWriteCoil(slave, count, true);
    // A coil write's reply repeats the request whole: its coil and its state.
    FUZZ_CHECK(Answers(coil, reply) == std::equal(coil.begin(), coil.end(), reply.begin(), reply.end()));
    FUZZ_CHECK(modbus::CheckRawReply(reply) == ReferenceTrailingCrc(reply));
    return 0;
}
