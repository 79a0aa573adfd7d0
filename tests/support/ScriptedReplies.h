#pragma once

// What the scripted relays of the tests answer, apart from the line they
// answer on (a pty here, a Wine COM port in the Windows tests): the default
// answers, scripted replies, and the table of ways a poll reply can go wrong.

#include "Bytes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// One step of a scripted reply: wait, then send bytes (or hang up the line).
struct Send {
    int delayMs = 0;
    Bytes bytes;
    bool hangUp = false;
};
using Reply = std::vector<Send>;
// How long a relay takes to answer a coil write: as a slave on a virtual
// port that waits 15 ms of silence for the request's end. At 9600 bit/s a
// reply that soon could be the line's own echo of the request, which the
// master must not hold against it.
constexpr int kCoilReplyMs = 15;
// Given the request and the answer the relay would give, returns what to send.
using Script = std::function<Reply(const Bytes& request, const Bytes& goodReply)>;

inline Bytes Concat(const Reply& reply)
{
    Bytes all;
    for (const auto& s : reply)
        all.insert(all.end(), s.bytes.begin(), s.bytes.end());
    return all;
}

inline Reply Split(const Bytes& good, std::size_t at, int gapMs)
{
    return {{0, Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(at))},
            {gapMs, Bytes(good.begin() + static_cast<std::ptrdiff_t>(at), good.end())}};
}

// The relay's own answers: function 3 with fresh register values on every
// request, so that a stale reply is told apart from a fresh one; function 5
// echoed; anything else, or a request with a bad CRC, unanswered.
class RelayAnswers {
public:
    Bytes GoodReply(const Bytes& request)
    {
        if (request.size() != 8 || BitwiseCrc(std::span(request).first(6)) != (request[6] | request[7] << 8))
            return {};
        if (request[1] == 0x05)
            return request;
        if (request[1] != 0x03)
            return {};
        const uint16_t count = static_cast<uint16_t>(request[4] << 8 | request[5]);
        ++serial_;
        served_.assign(count, 0);
        Bytes reply{request[0], 0x03, static_cast<uint8_t>(2 * count)};
        for (uint16_t i = 0; i < count; ++i) {
            const uint16_t v = static_cast<uint16_t>(serial_ * 100 + i);
            served_[i] = v;
            reply.push_back(static_cast<uint8_t>(v >> 8));
            reply.push_back(static_cast<uint8_t>(v));
        }
        return WithCrc(reply);
    }
    // Register values of the most recent function-3 answer built.
    const std::vector<uint16_t>& LastServed() const { return served_; }

private:
    uint16_t serial_ = 0;
    std::vector<uint16_t> served_;
};

enum class Outcome { Accepted, Rejected, NoReply };

struct PollCase {
    const char* name;
    Script script;
    Outcome outcome;
    std::size_t received;  // bytes of the relay's stream the rejection shows
    int totalTimeoutMs;    // the port's total read timeout; 0: the test's usual one
};

// Every way a reply to the 46-register poll can go wrong, and how the master
// must take it.
inline std::vector<PollCase> PollCases()
{
    return {
        {"good reply", [](const Bytes&, const Bytes& g) { return Reply{{0, g}}; }, Outcome::Accepted, 97, 0},
        {"silence", [](const Bytes&, const Bytes&) { return Reply{}; }, Outcome::NoReply, 0, 0},
        // A fifth of the wait or less: under Wine the two race.
        {"silence, port timeout shorter than the wait",
         [](const Bytes&, const Bytes&) { return Reply{}; }, Outcome::Rejected, 0, 150},
        // Only the 100 ms gap can end this one before the wait does.
        {"5 bytes then silence",
         [](const Bytes&, const Bytes& g) { return Reply{{0, Bytes(g.begin(), g.begin() + 5)}}; },
         Outcome::Rejected, 5, 0},
        {"exception reply",
         [](const Bytes&, const Bytes&) { return Reply{{0, WithCrc(ParseHex("01 83 02"))}}; }, Outcome::Rejected, 5, 0},
        {"wrong CRC byte",
         [](const Bytes&, Bytes g) { g[96] ^= 0x5A; return Reply{{0, g}}; }, Outcome::Rejected, 97, 0},
        {"CRC bytes swapped",
         [](const Bytes&, Bytes g) { std::swap(g[95], g[96]); return Reply{{0, g}}; }, Outcome::Rejected, 97, 0},
        // A fifth of the 100 ms gap timeout or less, so that a late wake-up
        // of the relay cannot stretch it into one.
        {"split by a 15 ms gap", [](const Bytes&, const Bytes& g) { return Split(g, 40, 15); },
         Outcome::Accepted, 97, 0},
        {"split by a 150 ms gap", [](const Bytes&, const Bytes& g) { return Split(g, 40, 150); },
         Outcome::Rejected, 40, 0},
        {"extra trailing bytes",
         [](const Bytes&, Bytes g) { g.insert(g.end(), {0x00, 0x11, 0x22}); return Reply{{0, g}}; },
         Outcome::Accepted, 97, 0},
        {"stray byte before the reply",
         [](const Bytes&, Bytes g) { g.insert(g.begin(), 0x55); return Reply{{0, g}}; }, Outcome::Rejected, 97, 0},
        {"reply later than the wait",
         [](const Bytes&, const Bytes& g) { return Reply{{1200, g}}; }, Outcome::NoReply, 0, 0},
    };
}

} // namespace testing_support
