#include "RelayModel.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace relaysim {

namespace {

// Every stage is definite-time, whatever characteristic register 13 names:
// enough for a demo and for predictable tests. Blocking by input is not
// modelled either. Pickup is at or above the setpoint, on the noiseless
// currents, so that the noise never decides a trip.
struct Stage {
    uint16_t enableReg;
    uint16_t currentReg;
    uint16_t timeReg;  // 0.1 s
    uint16_t led;
    bool residual;  // 3Io instead of the largest phase current
};

constexpr Stage kStages[] = {
    {6, 7, 8, led::kMtz, false},
    {14, 15, 16, led::kTo1, false},
    {19, 20, 21, led::kTo2, false},
    {24, 25, 26, led::kZnz, true},
};

std::optional<TimePoint> Earlier(std::optional<TimePoint> a, std::optional<TimePoint> b)
{
    if (!a)
        return b;
    if (!b)
        return a;
    return std::min(*a, *b);
}

} // namespace

RelayModel::RelayModel(const RelayConfig& config, TimePoint start)
    : config_(config), pickedUpSince_(std::size(kStages)), noise_(config.seed)
{
    for (const auto& s : SetpointTable())
        regs_[s.reg] = s.defaultValue;
    regs_[reg::kAddress] = config.address;
    regs_[reg::kSpeedCode] = config.speedCode;
    UpdatePickups(start);
}

uint16_t RelayModel::Measured(std::size_t stage) const
{
    if (breakerOpen_)
        return 0;
    if (kStages[stage].residual)
        return config_.residualCentiamps;
    return faultPresent_ ? std::max(config_.faultCentiamps, config_.loadCentiamps)
                         : config_.loadCentiamps;
}

bool RelayModel::PicksUp(std::size_t stage) const
{
    return !breakerOpen_ && regs_[kStages[stage].enableReg] != 0
           && Measured(stage) >= regs_[kStages[stage].currentReg];
}

std::optional<TimePoint> RelayModel::StageExpiry(std::size_t i) const
{
    if (!pickedUpSince_[i])
        return std::nullopt;
    return *pickedUpSince_[i] + std::chrono::milliseconds(100) * regs_[kStages[i].timeReg];
}

std::optional<TimePoint> RelayModel::EarliestExpiry() const
{
    std::optional<TimePoint> earliest;
    for (std::size_t i = 0; i < std::size(kStages); ++i)
        earliest = Earlier(earliest, StageExpiry(i));
    return earliest;
}

void RelayModel::UpdatePickups(TimePoint now)
{
    for (std::size_t i = 0; i < std::size(kStages); ++i) {
        if (!PicksUp(i))
            pickedUpSince_[i].reset();
        else if (!pickedUpSince_[i])
            pickedUpSince_[i] = now;
    }
}

// Every stage whose time runs out at this instant lights its LED; the breaker
// opens, which also clears the fault it was fed from.
void RelayModel::Trip(TimePoint at)
{
    uint16_t leds = 0;
    uint16_t current = 0;
    for (std::size_t i = 0; i < std::size(kStages); ++i) {
        if (StageExpiry(i) != at)
            continue;
        leds |= kStages[i].led;
        current = std::max(current, Measured(i));
    }
    trippedLeds_ |= leds;
    regs_[reg::kLastTrip] = current;
    breakerOpen_ = true;
    faultPresent_ = false;
    UpdatePickups(at);
    events_.push_back({RelayEvent::Kind::Tripped, at, leds, current});
}

void RelayModel::Advance(TimePoint now)
{
    ReleaseInputs(now);
    for (;;) {
        const auto expiry = EarliestExpiry();
        const bool tripDue = expiry && *expiry <= now;
        const bool faultDue = faultAt_ && *faultAt_ <= now;
        if (faultDue && (!tripDue || *faultAt_ < *expiry)) {
            const TimePoint at = *faultAt_;
            faultAt_.reset();
            faultPresent_ = true;
            events_.push_back({RelayEvent::Kind::FaultStarted, at});
            UpdatePickups(at);
        } else if (tripDue) {
            Trip(*expiry);
        } else {
            return;
        }
    }
}

std::optional<TimePoint> RelayModel::NextEvent() const
{
    std::optional<TimePoint> next = Earlier(faultAt_, EarliestExpiry());
    for (const auto& off : inputOff_)
        next = Earlier(next, off);
    return next;
}

std::vector<RelayEvent> RelayModel::TakeEvents()
{
    return std::exchange(events_, {});
}

void RelayModel::ScheduleFault(TimePoint at, TimePoint now)
{
    Advance(now);
    if (faultPresent_)
        return;
    faultAt_ = std::max(at, now);
    Advance(now);
}

void RelayModel::ClearFault(TimePoint now)
{
    Advance(now);
    faultAt_.reset();
    faultPresent_ = false;
    UpdatePickups(now);
}

void RelayModel::Acknowledge(TimePoint now)
{
    Advance(now);
    trippedLeds_ = 0;
    breakerOpen_ = false;
    UpdatePickups(now);
}

void RelayModel::SetOutput(unsigned relay, bool on, TimePoint now)
{
    if (relay < 1 || relay > 4)
        return;
    Advance(now);
    auto& off = inputOff_[relay - 1];
    if (on) {
        inputs_ |= static_cast<uint16_t>(1u << (relay - 1));
        off.reset();
    } else if ((inputs_ >> (relay - 1)) & 1 && !off) {
        off = now + config_.inputHold;
        ReleaseInputs(now);  // a zero hold drops it at once
    }
}

void RelayModel::ReleaseInputs(TimePoint now)
{
    for (unsigned i = 0; i < 4; ++i) {
        if (inputOff_[i] && *inputOff_[i] <= now) {
            inputs_ &= static_cast<uint16_t>(~(1u << i));
            inputOff_[i].reset();
        }
    }
}

bool RelayModel::SetSetpoint(uint16_t r, uint16_t value, TimePoint now)
{
    if (r < reg::kFirstSetpoint || r > reg::kLastSetpoint)
        return false;
    Advance(now);
    regs_[r] = value;
    // A changed time applies to a timer already running; a changed current
    // may start or stop one.
    UpdatePickups(now);
    return true;
}

uint16_t RelayModel::Noisy(uint16_t value)
{
    if (config_.noisePercent <= 0 || value == 0)
        return value;
    std::uniform_real_distribution<double> spread(-1.0, 1.0);
    const double v = value * (1.0 + spread(noise_) * config_.noisePercent / 100.0);
    return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
}

Registers RelayModel::Read()
{
    Registers out = regs_;
    const uint16_t load = breakerOpen_ ? 0 : config_.loadCentiamps;
    const uint16_t phaseA = breakerOpen_ ? 0 : faultPresent_ ? config_.faultCentiamps : load;
    out[reg::kPhaseA] = Noisy(phaseA);
    out[reg::kPhaseB] = Noisy(load);
    out[reg::kPhaseC] = Noisy(load);
    out[reg::kResidual] = Noisy(breakerOpen_ ? 0 : config_.residualCentiamps);
    out[reg::kInputs] = inputs_;
    out[reg::kLeds] = static_cast<uint16_t>(led::kHealthy | trippedLeds_);
    return out;
}

} // namespace relaysim
