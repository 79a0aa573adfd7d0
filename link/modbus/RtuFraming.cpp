#include "Framing.h"

#include "ModbusFrame.h"

#include <algorithm>

namespace modbus {
namespace {

// A USB adapter holds received bytes back for its latency timer (16 ms on
// FTDI's by default), so either copy may reach us that much late.
constexpr double kUsbLatencyMs = 20.0;

double CharMs(int32_t bitsPerSecond)
{
    return 10000.0 / bitsPerSecond;  // 10 bits a character
}

} // namespace

std::vector<uint8_t> RtuFraming::Wrap(uint8_t unit, std::span<const uint8_t> pdu)
{
    std::vector<uint8_t> body{unit};
    body.insert(body.end(), pdu.begin(), pdu.end());
    return BuildRaw(body, true);
}

bool RtuFraming::ReceiveFrame(FramingLine& line, std::span<const uint8_t> request, std::size_t n, Echo echo,
                              std::vector<uint8_t>& reply)
{
    lastEchoed_ = false;
    reply.clear();
    const auto until = FramingLine::Clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    if (!line.ReadMore(reply, n, until))
        return false;
    // As much of the request as has come so far.
    const auto soFarEcho = [&] {
        const std::size_t k = std::min(reply.size(), request.size());
        return k > 0 && std::equal(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(k), reply.begin());
    };
    if (echo == Echo::None || !soFarEcho())
        return true;
    if (reply.size() < request.size()) {
        // Too short to tell; worth reading on only when an echo is expected.
        if (echo != Echo::Expected)
            return true;
        if (!line.ReadMore(reply, n - reply.size(), until))
            return false;
        if (reply.size() < request.size() || !soFarEcho())
            return true;
    }
    // The line's echo: what follows it is the reply, read on within the wait.
    reply.erase(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(request.size()));
    lastEchoed_ = true;
    return reply.size() >= n || line.ReadMore(reply, n - reply.size(), until);
}

bool RtuFraming::MayBeOwnEcho(const FramingLine& line, std::span<const uint8_t> request,
                              std::span<const uint8_t> reply) const
{
    if (lineSpeed_ == 0 || echoMode_ != EchoMode::Auto || echoDecided_
        || !std::equal(request.begin(), request.end(), reply.begin(), reply.end()))
        return false;
    // A relay's reply ends no sooner than the request, 3.5 characters of
    // silence and the reply itself; an echo no sooner than the request (a
    // tenth off for clocks). A line without line time (a pseudo-terminal, a
    // virtual port) answers sooner still, and is believed.
    const double charMs = CharMs(lineSpeed_);
    const double tookMs =
        std::chrono::duration<double, std::milli>(FramingLine::Clock::now() - line.SentAt()).count();
    return tookMs >= 0.9 * charMs * static_cast<double>(request.size())
           && tookMs < charMs * (static_cast<double>(request.size() + reply.size()) + 3.5);
}

bool RtuFraming::Receive(FramingLine& line, std::span<const uint8_t> request, std::size_t replyPduSize,
                         Exchange kind, std::vector<uint8_t>& reply)
{
    const std::size_t n = replyPduSize + 3;  // address, PDU, CRC
    if (kind == Exchange::Poll) {
        const Echo echo = echoMode_ == EchoMode::Off ? Echo::None : RemovingEcho() ? Echo::Expected : Echo::Possible;
        return ReceiveFrame(line, request, n, echo, reply);
    }
    // A coil write's reply repeats the request, so an echo can only be known
    // from the polls: looked for once they found one, never guessed here.
    if (!ReceiveFrame(line, request, n, RemovingEcho() ? Echo::Expected : Echo::None, reply))
        return false;
    // After the line's echo the relay's copy begins within 3.5 characters
    // and a reply's time. When nothing does, the copy was the relay's: a
    // relay that answers is never failed for it, though a dead one behind an
    // echoing line passes for answered (ECHO=on tells the two apart).
    if (MayBeOwnEcho(line, request, reply)) {
        std::vector<uint8_t> second;
        if (line.ReadMoreIfAny(second, 1, FramingLine::Clock::now() + SecondCopyWait(n))) {
            reply = std::move(second);
            return reply.size() >= n
                   || line.ReadMore(reply, n - reply.size(), line.SentAt() + std::chrono::milliseconds(kReplyWaitMs));
        }
    }
    return true;
}

std::chrono::microseconds RtuFraming::SecondCopyWait(std::size_t n) const
{
    const double ms = CharMs(lineSpeed_) * (static_cast<double>(n) + 3.5) + kUsbLatencyMs;
    return std::chrono::microseconds(static_cast<int64_t>(ms * 1000.0));
}

bool RtuFraming::Open(std::span<const uint8_t> frame, uint8_t& unit, std::span<const uint8_t>& pdu) const
{
    if (frame.size() < 4 || !TrailingCrcMatches(frame))
        return false;
    unit = frame[0];
    pdu = RtuPdu(frame);
    return true;
}

void RtuFraming::Accepted(Exchange kind)
{
    // Only an accepted poll decides, so that noise cannot turn it on or off.
    if (kind == Exchange::Poll && echoMode_ == EchoMode::Auto) {
        echoHeard_ = lastEchoed_;
        echoDecided_ = true;
    }
}

bool RtuFraming::IsException(std::span<const uint8_t> frame) const
{
    return IsExceptionReply(frame);
}

std::vector<uint8_t> RtuFraming::WrapRaw(uint8_t, std::span<const uint8_t> bytes, bool appendCrc)
{
    // The operator types the whole frame, the address too.
    return BuildRaw(bytes, appendCrc);
}

RawVerdict RtuFraming::RawReply(std::span<const uint8_t> request, std::span<const uint8_t> received,
                                std::span<const uint8_t>& reply) const
{
    reply = received;
    if (RemovingEcho() && reply.size() >= request.size() && std::equal(request.begin(), request.end(), reply.begin()))
        reply = reply.subspan(request.size());
    // Fewer than two bytes carry no CRC to check: no answer.
    if (reply.size() < 2)
        return RawVerdict::NoReply;
    return CheckRawReply(reply) ? RawVerdict::Answered : RawVerdict::Rejected;
}

} // namespace modbus
