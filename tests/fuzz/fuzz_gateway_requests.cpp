// The gateway's reading of a client's bytes, cut into pieces anywhere: the
// requests it yields are exactly those an independent reading of the stream
// finds, in order, whatever the pieces; a bad header ends the stream for
// good; and every answer the gateway can build for a request (its reply from
// the polled map, an exception, the write's text, the line's reply size) is
// a well-formed frame or value, never a read out of bounds.
//
// Input: a byte of piece sizes' seed, then the client's bytes.

#include "FuzzSupport.h"
#include "GatewayProtocol.h"
#include "MbapFrame.h"
#include "ModbusFrame.h"

#include <array>
#include <cstring>

namespace {

struct Expected {
    std::vector<gateway::Request> requests;
    bool broken = false;
};

// Frame by frame, with no state but the position.
Expected ReadWhole(std::span<const uint8_t> bytes)
{
    Expected e;
    std::size_t at = 0;
    while (bytes.size() - at >= 7) {
        const uint16_t protocol = static_cast<uint16_t>(bytes[at + 2] << 8 | bytes[at + 3]);
        const uint16_t length = static_cast<uint16_t>(bytes[at + 4] << 8 | bytes[at + 5]);
        if (protocol != 0 || length < 2 || length > 254) {
            e.broken = true;
            return e;
        }
        if (bytes.size() - at < 6u + length)
            break;
        e.requests.push_back({static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]), bytes[at + 6],
                              {bytes.begin() + static_cast<std::ptrdiff_t>(at + 7),
                               bytes.begin() + static_cast<std::ptrdiff_t>(at + 6 + length)}});
        at += 6u + length;
    }
    return e;
}

void CheckAnswers(const gateway::Request& request)
{
    const std::vector<uint8_t> exception = gateway::Exception(request, gateway::kTargetFailed);
    FUZZ_CHECK(exception.size() == 9 && modbus::ParseMbap(exception).length == 3);
    FUZZ_CHECK(exception[7] == (request.pdu[0] | 0x80) && exception[8] == gateway::kTargetFailed);
    if (gateway::ReadsPolledMap(request, 46)) {
        std::array<uint16_t, 46> registers{};
        const std::vector<uint8_t> pdu = gateway::ReadReply(request, registers);
        const unsigned count = request.pdu[3] << 8 | request.pdu[4];
        FUZZ_CHECK(pdu.size() == 2 + 2 * count && pdu[1] == 2 * count);
        FUZZ_CHECK(modbus::ReplyPduSize(request.pdu) == pdu.size());
    }
    if (const std::optional<std::size_t> size = modbus::ReplyPduSize(request.pdu))
        FUZZ_CHECK(*size >= 2 && *size <= 253);
    FUZZ_CHECK(!gateway::WriteText(request.pdu).empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    unsigned seed = data[0];
    const std::span<const uint8_t> stream(data + 1, size - 1);
    const Expected expected = ReadWhole(stream);

    gateway::RequestReader reader;
    std::vector<gateway::Request> got;
    for (std::size_t at = 0; at < stream.size() && !reader.Broken();) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(1 + (seed >> 16) % 300, stream.size() - at);
        for (gateway::Request& request : reader.Feed(stream.subspan(at, piece)))
            got.push_back(std::move(request));
        at += piece;
    }
    FUZZ_CHECK(reader.Broken() == expected.broken);
    FUZZ_CHECK(got.size() == expected.requests.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        FUZZ_CHECK(got[i].transaction == expected.requests[i].transaction);
        FUZZ_CHECK(got[i].unit == expected.requests[i].unit);
        FUZZ_CHECK(got[i].pdu == expected.requests[i].pdu);
        CheckAnswers(got[i]);
    }
    return 0;
}
