#pragma once

// The framing seam of the master: how a request PDU goes out and how its
// reply comes back, on RTU (address, PDU, CRC; the line's echo) and on
// Modbus TCP (an MBAP header with a transaction number). The master writes
// each transaction once over it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace modbus {

inline constexpr int kReplyWaitMs = 1000;

// What a framing needs of the master during one exchange.
class FramingLine {
public:
    using Clock = std::chrono::steady_clock;
    // Reads up to n more bytes onto the end of bytes until the deadline;
    // false, after logging the timeout, when the line's wait ran out.
    virtual bool ReadMore(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until) = 0;
    // The same, for bytes that may not come: true when any did; a wait that
    // runs out is no failure and is not logged.
    virtual bool ReadMoreIfAny(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until) = 0;
    // When the last request's write began.
    virtual Clock::time_point SentAt() const = 0;
    // Logs received bytes that are no reply, and counts them rejected.
    virtual void Reject(std::span<const uint8_t> received) = 0;

protected:
    ~FramingLine() = default;
};

// What an exchange is: its reply's echo is looked for differently.
enum class Exchange { Poll, CoilWrite };

// What came back to a typed request.
enum class RawVerdict { NoReply, Rejected, Answered };

class Framing {
public:
    virtual ~Framing() = default;
    // The frame that carries a request PDU to a unit.
    virtual std::vector<uint8_t> Wrap(uint8_t unit, std::span<const uint8_t> pdu) = 0;
    // Reads the reply to `request` (as Wrap made it), whose PDU has
    // replyPduSize bytes when it is the one asked for. False when there is
    // nothing to check: no reply in time, or bytes already rejected.
    virtual bool Receive(FramingLine& line, std::span<const uint8_t> request, std::size_t replyPduSize,
                         Exchange kind, std::vector<uint8_t>& reply) = 0;
    // The unit and the PDU of a received frame, when the framing's own
    // check passes (the CRC on RTU; the header was checked on receiving).
    virtual bool Open(std::span<const uint8_t> frame, uint8_t& unit, std::span<const uint8_t>& pdu) const = 0;
    // A reply to the last Receive was accepted.
    virtual void Accepted(Exchange) {}
    // A rejected frame that is the relay's exception reply.
    virtual bool IsException(std::span<const uint8_t> frame) const = 0;

    // Typed requests: the frame for the operator's bytes, and what the bytes
    // that came back within the wait amount to (reply: the frame to log).
    virtual std::vector<uint8_t> WrapRaw(uint8_t unit, std::span<const uint8_t> bytes, bool appendCrc) = 0;
    virtual RawVerdict RawReply(std::span<const uint8_t> request, std::span<const uint8_t> received,
                                std::span<const uint8_t>& reply) const = 0;
};

// RTU: the CRC, the inter-frame timing and the request's echo that some
// two-wire RS-485 adapters hear.
class RtuFraming final : public Framing {
public:
    // Auto decides on each accepted poll (function 3, whose reply never
    // begins with its request) and keeps the decision for coil writes and
    // typed requests; On always expects the echo; Off never looks.
    enum class EchoMode { Auto, On, Off };
    void SetEchoMode(EchoMode mode) { echoMode_ = mode; }
    bool RemovingEcho() const
    {
        return echoMode_ == EchoMode::On || (echoMode_ == EchoMode::Auto && echoHeard_);
    }
    // The line's speed (8N1) for what a reply's timing can tell; 0 for a
    // line whose timing tells nothing.
    void SetLineSpeed(int32_t bitsPerSecond) { lineSpeed_ = bitsPerSecond > 0 ? bitsPerSecond : 0; }

    std::vector<uint8_t> Wrap(uint8_t unit, std::span<const uint8_t> pdu) override;
    bool Receive(FramingLine& line, std::span<const uint8_t> request, std::size_t replyPduSize, Exchange kind,
                 std::vector<uint8_t>& reply) override;
    bool Open(std::span<const uint8_t> frame, uint8_t& unit, std::span<const uint8_t>& pdu) const override;
    void Accepted(Exchange kind) override;
    bool IsException(std::span<const uint8_t> frame) const override;
    std::vector<uint8_t> WrapRaw(uint8_t unit, std::span<const uint8_t> bytes, bool appendCrc) override;
    RawVerdict RawReply(std::span<const uint8_t> request, std::span<const uint8_t> received,
                        std::span<const uint8_t>& reply) const override;

private:
    // How the echo is looked for in one reply: not at all; taken off when
    // the whole request came back first; or expected, so that a read that
    // ended inside it reads on.
    enum class Echo { None, Possible, Expected };
    // Reads a reply of up to n bytes within the reply wait, without the
    // request's echo before it (lastEchoed_ says whether there was one).
    bool ReceiveFrame(FramingLine& line, std::span<const uint8_t> request, std::size_t n, Echo echo,
                      std::vector<uint8_t>& reply);
    // A coil write's "reply" that is its request, complete sooner than any
    // relay could answer but no sooner than the request could be sent: on
    // a line whose echo is not yet known, possibly the line's own echo.
    bool MayBeOwnEcho(const FramingLine& line, std::span<const uint8_t> request,
                      std::span<const uint8_t> reply) const;
    // How long after a possible echo the relay's reply of n bytes begins,
    // if there is one.
    std::chrono::microseconds SecondCopyWait(std::size_t n) const;

    EchoMode echoMode_ = EchoMode::Auto;
    bool echoHeard_ = false;
    bool echoDecided_ = false;  // an accepted poll has decided echoHeard_
    bool lastEchoed_ = false;   // the last reply came after the request's echo
    int32_t lineSpeed_ = 0;
};

// Modbus TCP: each request with the next transaction number; a late reply
// to an earlier one is skipped, any other frame rejected.
class MbapFraming final : public Framing {
public:
    std::vector<uint8_t> Wrap(uint8_t unit, std::span<const uint8_t> pdu) override;
    bool Receive(FramingLine& line, std::span<const uint8_t> request, std::size_t replyPduSize, Exchange kind,
                 std::vector<uint8_t>& reply) override;
    bool Open(std::span<const uint8_t> frame, uint8_t& unit, std::span<const uint8_t>& pdu) const override;
    bool IsException(std::span<const uint8_t> frame) const override;
    std::vector<uint8_t> WrapRaw(uint8_t unit, std::span<const uint8_t> bytes, bool appendCrc) override;
    RawVerdict RawReply(std::span<const uint8_t> request, std::span<const uint8_t> received,
                        std::span<const uint8_t>& reply) const override;

private:
    uint16_t transaction_ = 0;
};

} // namespace modbus
