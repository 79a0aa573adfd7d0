#include "Framing.h"

#include "MbapFrame.h"

namespace modbus {

std::vector<uint8_t> MbapFraming::Wrap(uint8_t unit, std::span<const uint8_t> pdu)
{
    return WrapMbap(++transaction_, unit, pdu);
}

bool MbapFraming::Receive(FramingLine& line, std::span<const uint8_t> request, std::size_t, Exchange,
                          std::vector<uint8_t>& reply)
{
    const uint8_t unit = ParseMbap(request).unit;
    const auto until = FramingLine::Clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    for (;;) {
        reply.clear();
        if (!line.ReadMore(reply, kMbapSize, until))
            return false;
        if (reply.size() < kMbapSize || !IsFrameHeader(ParseMbap(reply))) {
            line.Reject(reply);
            return false;
        }
        const MbapHeader header = ParseMbap(reply);
        const std::size_t rest = header.length - 1u;
        if (!line.ReadMore(reply, rest, until))
            return false;
        if (reply.size() < kMbapSize + rest) {
            line.Reject(reply);
            return false;
        }
        // A reply that came after its request had given up: not this one's.
        if (IsEarlierTransaction(header.transaction, transaction_))
            continue;
        if (header.transaction != transaction_ || header.unit != unit) {
            line.Reject(reply);
            return false;
        }
        return true;
    }
}

bool MbapFraming::Open(std::span<const uint8_t> frame, uint8_t& unit, std::span<const uint8_t>& pdu) const
{
    if (frame.size() <= kMbapSize)
        return false;
    unit = frame[kMbapSize - 1];
    pdu = frame.subspan(kMbapSize);
    return true;
}

bool MbapFraming::IsException(std::span<const uint8_t> frame) const
{
    return frame.size() > kMbapSize && IsExceptionPdu(frame.subspan(kMbapSize));
}

std::vector<uint8_t> MbapFraming::WrapRaw(uint8_t unit, std::span<const uint8_t> bytes, bool)
{
    // The operator's bytes are the PDU; TCP has no CRC.
    return Wrap(unit, bytes);
}

RawVerdict MbapFraming::RawReply(std::span<const uint8_t> request, std::span<const uint8_t> received,
                                 std::span<const uint8_t>& reply) const
{
    const uint8_t unit = ParseMbap(request).unit;
    // The frame of this transaction among what came; late replies to
    // earlier requests may come before it.
    for (std::size_t at = 0; at + kMbapSize <= received.size();) {
        const auto header = ParseMbap(received.subspan(at));
        const std::size_t size = kMbapSize - 1 + header.length;
        if (!IsFrameHeader(header) || at + size > received.size())
            break;
        if (header.transaction == transaction_ && header.unit == unit) {
            reply = received.subspan(at, size);
            return RawVerdict::Answered;
        }
        if (!IsEarlierTransaction(header.transaction, transaction_))
            break;
        at += size;
    }
    reply = received;
    return RawVerdict::Rejected;
}

} // namespace modbus
