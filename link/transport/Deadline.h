#pragma once

#include <chrono>

// A point on the monotonic clock that may be "never". Every wait of the link
// (caller's wait, total and inter-byte timeouts, write limit) is one of these.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    static Deadline Never() { return Deadline(Clock::time_point::max()); }
    static Deadline In(std::chrono::milliseconds span) { return Deadline(Clock::now() + span); }
    // ms <= 0 means no deadline: a disabled timeout.
    static Deadline InOrNever(int ms)
    {
        return ms > 0 ? In(std::chrono::milliseconds(ms)) : Never();
    }

    bool IsNever() const { return at_ == Clock::time_point::max(); }
    Clock::time_point At() const { return at_; }
    bool Expired(Clock::time_point now = Clock::now()) const { return !IsNever() && now >= at_; }
    bool Before(const Deadline& other) const { return at_ < other.at_; }

    // Whole milliseconds left, rounded up so that a wait for them never ends
    // early and turns into a spin; 0 once expired.
    int RemainingMs(Clock::time_point now = Clock::now()) const
    {
        if (now >= at_)
            return 0;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - now).count();
        return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
    }

private:
    explicit Deadline(Clock::time_point at) : at_(at) {}
    Clock::time_point at_;
};
