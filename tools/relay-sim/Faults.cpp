#include "Faults.h"

#include <cmath>

namespace relaysim {

std::chrono::microseconds WireTime(double characters, uint32_t bitsPerSecond)
{
    if (bitsPerSecond == 0)
        return {};
    return std::chrono::microseconds(std::llround(characters * 10 * 1e6 / bitsPerSecond));
}

std::chrono::microseconds ReplyDelay(std::size_t requestBytes, std::size_t replyBytes,
                                     uint32_t bitsPerSecond)
{
    return WireTime(static_cast<double>(requestBytes + replyBytes) + 3.5, bitsPerSecond);
}

FaultPicker::FaultPicker(const FaultOptions& options)
    : options_(options), random_(options.seed)
{
}

bool FaultPicker::Hit(const FaultRate& rate)
{
    switch (rate.kind) {
    case FaultRate::Kind::Never:
        return false;
    case FaultRate::Kind::EveryNth:
        return replies_ % rate.every == 0;
    case FaultRate::Kind::Share:
        return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < rate.share;
    }
    return false;
}

FaultDecision FaultPicker::Next()
{
    ++replies_;
    FaultDecision d;
    d.drop = Hit(options_.drop);
    d.badCrc = Hit(options_.badCrc);
    d.stray = Hit(options_.stray);
    d.late = Hit(options_.late);
    d.exception = Hit(options_.exception);
    return d;
}

std::vector<uint8_t> ShapeReply(std::vector<uint8_t> reply, const FaultDecision& decision)
{
    if (decision.drop)
        return {};
    if (decision.badCrc && !reply.empty())
        reply.back() = static_cast<uint8_t>(~reply.back());
    if (decision.stray)
        reply.insert(reply.begin(), kStrayByte);
    return reply;
}

} // namespace relaysim
