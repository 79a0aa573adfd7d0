#pragma once

// The relay behind the registers: measured currents, the four protection
// stages with their timers, the breaker, indicator LEDs and output relays.
// Pure state driven by the caller's clock, so it can be tested without time
// passing.

#include "RegisterMap.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace relaysim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

struct RelayConfig {
    uint8_t address = 1;
    uint16_t speedCode = 0;
    uint16_t loadCentiamps = 250;
    uint16_t residualCentiamps = 5;
    uint16_t faultCentiamps = 1000;
    double noisePercent = 0;
    uint32_t seed = 1;
    // How long a discrete input stays lit after its output relay drops out.
    std::chrono::milliseconds inputHold{2000};
};

struct RelayEvent {
    enum class Kind { FaultStarted, Tripped };
    Kind kind;
    TimePoint at;
    uint16_t leds = 0;     // Tripped: the LEDs the trip lit
    uint16_t current = 0;  // Tripped: the current now in register 45
};

class RelayModel {
public:
    RelayModel(const RelayConfig& config, TimePoint start);

    // Every operation taking `now` first runs the protection up to `now`, so
    // a timer that ran out earlier trips at its own time, under the old state.
    void Advance(TimePoint now);
    // The next moment Advance would change something, if any.
    std::optional<TimePoint> NextEvent() const;
    std::vector<RelayEvent> TakeEvents();

    // Phase A rises to the fault current from `at` on (now or later).
    void ScheduleFault(TimePoint at, TimePoint now);
    void ClearFault(TimePoint now);
    // Trip LEDs off, breaker closed again (onto a fault still present, if any).
    void Acknowledge(TimePoint now);
    // Relays 1..4, each wired back to the discrete input of its number. The
    // monitor stops polling while it pulses a relay, so an input that simply
    // followed its relay would never be seen lit: it drops out only after
    // the configured hold.
    void SetOutput(unsigned relay, bool on, TimePoint now);
    // false for a register outside 6..42.
    bool SetSetpoint(uint16_t r, uint16_t value, TimePoint now);

    bool FaultPresent() const { return faultPresent_; }
    bool BreakerOpen() const { return breakerOpen_; }
    // All 46 registers; the currents carry fresh noise at every call.
    Registers Read();

private:
    // Stages by index into the protection table.
    uint16_t Measured(std::size_t stage) const;
    bool PicksUp(std::size_t stage) const;
    std::optional<TimePoint> StageExpiry(std::size_t i) const;
    std::optional<TimePoint> EarliestExpiry() const;
    void UpdatePickups(TimePoint now);
    void Trip(TimePoint at);
    void ReleaseInputs(TimePoint now);
    uint16_t Noisy(uint16_t value);

    RelayConfig config_;
    Registers regs_{};  // setpoints and fixed registers; the rest is computed
    std::optional<TimePoint> faultAt_;
    bool faultPresent_ = false;
    bool breakerOpen_ = false;
    uint16_t trippedLeds_ = 0;
    uint16_t inputs_ = 0;
    std::optional<TimePoint> inputOff_[4];
    std::vector<std::optional<TimePoint>> pickedUpSince_;
    std::vector<RelayEvent> events_;
    std::mt19937 noise_;
};

} // namespace relaysim
