#include "RelayModel.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace relaysim;
using namespace std::chrono_literals;

const TimePoint T0 = TimePoint{} + 1h;

RelayConfig Exact()
{
    RelayConfig config;
    config.address = 9;
    config.speedCode = 2;
    config.loadCentiamps = 250;
    config.residualCentiamps = 5;
    config.faultCentiamps = 1000;
    config.noisePercent = 0;
    return config;
}

TEST(SimRelayModel, StartsHealthyWithItsOwnAddressAndSpeed)
{
    RelayModel model(Exact(), T0);
    const Registers r = model.Read();
    EXPECT_EQ(r[reg::kPhaseA], 250);
    EXPECT_EQ(r[reg::kPhaseB], 250);
    EXPECT_EQ(r[reg::kPhaseC], 250);
    EXPECT_EQ(r[reg::kResidual], 5);
    EXPECT_EQ(r[reg::kInputs], 0);
    EXPECT_EQ(r[reg::kLeds], led::kHealthy);
    EXPECT_EQ(r[reg::kAddress], 9);
    EXPECT_EQ(r[reg::kSpeedCode], 2);
    EXPECT_EQ(r[reg::kLastTrip], 0);
    for (const auto& s : SetpointTable())
        EXPECT_EQ(r[s.reg], s.defaultValue) << s.reg;
    EXPECT_FALSE(model.NextEvent()) << "nothing due without a fault";
}

TEST(SimRelayModel, SetpointsCoverRegisters6To41WithCodesInTheirTables)
{
    const auto table = SetpointTable();
    ASSERT_EQ(table.size(), 36u);
    std::set<std::string_view> names;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const auto& s = table[i];
        EXPECT_EQ(s.reg, 6 + i);
        names.insert(s.name);
        if (s.kind == SetpointKind::Code) {
            EXPECT_GE(s.codes.size(), 2u) << s.reg;
            EXPECT_LT(s.defaultValue, s.codes.size()) << s.reg;
        } else {
            EXPECT_TRUE(s.codes.empty()) << s.reg;
        }
    }
    EXPECT_EQ(names.size(), table.size()) << "a name used twice";
}

TEST(SimRelayModel, NoiseStaysWithinItsShareAndFollowsTheSeed)
{
    RelayConfig config = Exact();
    config.noisePercent = 2;
    config.loadCentiamps = 1000;
    RelayModel a(config, T0);
    RelayModel b(config, T0);
    std::set<uint16_t> seen;
    for (int i = 0; i < 200; ++i) {
        const Registers ra = a.Read();
        const Registers rb = b.Read();
        EXPECT_EQ(ra, rb) << "same seed, same readings";
        for (uint16_t phase : {reg::kPhaseA, reg::kPhaseB, reg::kPhaseC}) {
            EXPECT_GE(ra[phase], 980);
            EXPECT_LE(ra[phase], 1020);
            seen.insert(ra[phase]);
        }
        EXPECT_EQ(ra[reg::kLeds], led::kHealthy);
    }
    EXPECT_GT(seen.size(), 20u);
}

struct TripCase {
    const char* name;
    uint16_t faultCurrent;
    std::vector<std::pair<uint16_t, uint16_t>> setpoints;
    std::optional<std::chrono::milliseconds> tripAfter;  // after the fault starts
    uint16_t leds;
    uint16_t tripCurrent;
};

TEST(SimRelayModel, StagesTripOnTheirSetpoints)
{
    const TripCase cases[] = {
        {"МТЗ", 1000, {}, 500ms, led::kMtz, 1000},
        {"МТЗ at exactly its setpoint", 500, {}, 500ms, led::kMtz, 500},
        {"just below МТЗ", 499, {}, std::nullopt, 0, 0},
        {"МТЗ switched off", 1000, {{6, 0}}, std::nullopt, 0, 0},
        {"ТО1 before МТЗ", 3000, {}, 100ms, led::kTo1, 3000},
        {"ТО2 at once", 4500, {}, 0ms, led::kTo2, 4500},
        {"МТЗ and ТО1 together", 2500, {{16, 5}}, 500ms, led::kMtz | led::kTo1, 2500},
        {"МТЗ time changed", 1000, {{8, 23}}, 2300ms, led::kMtz, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RelayConfig config = Exact();
        config.faultCentiamps = c.faultCurrent;
        RelayModel model(config, T0);
        for (const auto& [r, v] : c.setpoints)
            ASSERT_TRUE(model.SetSetpoint(r, v, T0));
        const TimePoint faultAt = T0 + 200ms;
        model.ScheduleFault(faultAt, T0);
        ASSERT_TRUE(model.NextEvent());
        EXPECT_EQ(*model.NextEvent(), faultAt);
        model.Advance(faultAt);
        if (!c.tripAfter || *c.tripAfter > 0ms) {
            ASSERT_TRUE(model.FaultPresent());
            EXPECT_EQ(model.Read()[reg::kPhaseA], c.faultCurrent);
            EXPECT_EQ(model.Read()[reg::kPhaseB], 250);
        }

        if (!c.tripAfter) {
            EXPECT_FALSE(model.NextEvent());
            model.Advance(faultAt + 1h);
            EXPECT_EQ(model.Read()[reg::kLeds], led::kHealthy);
            EXPECT_TRUE(model.FaultPresent());
            continue;
        }
        const TimePoint tripAt = faultAt + *c.tripAfter;
        if (*c.tripAfter > 0ms) {
            ASSERT_TRUE(model.NextEvent());
            EXPECT_EQ(*model.NextEvent(), tripAt);
            model.Advance(tripAt - 1ms);
            EXPECT_EQ(model.Read()[reg::kLeds], led::kHealthy) << "tripped early";
        }
        model.Advance(tripAt);
        const Registers r = model.Read();
        EXPECT_EQ(r[reg::kLeds], led::kHealthy | c.leds);
        EXPECT_EQ(r[reg::kLastTrip], c.tripCurrent);
        EXPECT_EQ(r[reg::kPhaseA], 0) << "breaker open";
        EXPECT_TRUE(model.BreakerOpen());
        EXPECT_FALSE(model.FaultPresent());
    }
}

TEST(SimRelayModel, EventsCarryTheirOwnTimesEvenWhenSeenLate)
{
    RelayModel model(Exact(), T0);
    model.ScheduleFault(T0 + 1s, T0);
    model.Advance(T0 + 10s);
    const auto events = model.TakeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, RelayEvent::Kind::FaultStarted);
    EXPECT_EQ(events[0].at, T0 + 1s);
    EXPECT_EQ(events[1].kind, RelayEvent::Kind::Tripped);
    EXPECT_EQ(events[1].at, T0 + 1500ms);
    EXPECT_EQ(events[1].leds, led::kMtz);
    EXPECT_EQ(events[1].current, 1000);
    EXPECT_TRUE(model.TakeEvents().empty());
}

TEST(SimRelayModel, AcknowledgeClearsTheLedsKeepsTheTripCurrent)
{
    RelayModel model(Exact(), T0);
    model.ScheduleFault(T0, T0);
    model.Advance(T0 + 1h);
    ASSERT_EQ(model.Read()[reg::kLeds], led::kHealthy | led::kMtz) << "latched";

    model.Acknowledge(T0 + 1h);
    const Registers r = model.Read();
    EXPECT_EQ(r[reg::kLeds], led::kHealthy);
    EXPECT_EQ(r[reg::kLastTrip], 1000);
    EXPECT_EQ(r[reg::kPhaseA], 250);
    EXPECT_FALSE(model.BreakerOpen());
    EXPECT_FALSE(model.NextEvent()) << "the trip cleared the fault";
}

TEST(SimRelayModel, ClosingOntoAFaultTripsAgain)
{
    RelayModel model(Exact(), T0);
    model.ScheduleFault(T0, T0);
    model.Advance(T0 + 1s);
    ASSERT_TRUE(model.BreakerOpen());
    model.ScheduleFault(T0 + 2s, T0 + 2s);  // while the breaker is open
    EXPECT_EQ(model.Read()[reg::kPhaseA], 0);
    EXPECT_FALSE(model.NextEvent());

    model.Acknowledge(T0 + 3s);
    ASSERT_TRUE(model.NextEvent());
    EXPECT_EQ(*model.NextEvent(), T0 + 3500ms);
    model.Advance(T0 + 3500ms);
    EXPECT_EQ(model.Read()[reg::kLeds], led::kHealthy | led::kMtz);
}

TEST(SimRelayModel, ClearedOrOutgrownFaultDoesNotTrip)
{
    struct Case {
        const char* name;
        std::function<void(RelayModel&, TimePoint)> midway;
    };
    const Case cases[] = {
        {"fault cleared", [](RelayModel& m, TimePoint t) { m.ClearFault(t); }},
        {"МТЗ raised above the fault", [](RelayModel& m, TimePoint t) { m.SetSetpoint(7, 2000, t); }},
        {"МТЗ switched off", [](RelayModel& m, TimePoint t) { m.SetSetpoint(6, 0, t); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RelayModel model(Exact(), T0);
        model.ScheduleFault(T0, T0);
        c.midway(model, T0 + 300ms);
        model.Advance(T0 + 1h);
        EXPECT_EQ(model.Read()[reg::kLeds], led::kHealthy);
    }
}

TEST(SimRelayModel, OverloadAndEarthLeakageTripWithoutAFault)
{
    struct Case {
        const char* name;
        uint16_t load;
        uint16_t residual;
        std::chrono::milliseconds tripAfter;
        uint16_t leds;
        uint16_t current;
    };
    for (const Case c : {Case{"load above МТЗ", 600, 5, 500ms, led::kMtz, 600},
                         Case{"residual above ЗНЗ", 250, 60, 1000ms, led::kZnz, 60}}) {
        SCOPED_TRACE(c.name);
        RelayConfig config = Exact();
        config.loadCentiamps = c.load;
        config.residualCentiamps = c.residual;
        RelayModel model(config, T0);
        ASSERT_TRUE(model.NextEvent());
        EXPECT_EQ(*model.NextEvent(), T0 + c.tripAfter);
        model.Advance(T0 + c.tripAfter);
        EXPECT_EQ(model.Read()[reg::kLeds], led::kHealthy | c.leds);
        EXPECT_EQ(model.Read()[reg::kLastTrip], c.current);
        EXPECT_EQ(model.Read()[reg::kResidual], 0);
    }
}

TEST(SimRelayModel, InputsFollowTheirRelaysAndOutlastThemByTheHold)
{
    RelayConfig config = Exact();
    config.inputHold = 300ms;
    RelayModel model(config, T0);
    model.SetOutput(2, true, T0);
    model.SetOutput(4, true, T0);
    EXPECT_EQ(model.Read()[reg::kInputs], 0xA);
    EXPECT_FALSE(model.NextEvent());

    model.SetOutput(2, false, T0 + 500ms);
    ASSERT_TRUE(model.NextEvent());
    EXPECT_EQ(*model.NextEvent(), T0 + 800ms);
    model.Advance(T0 + 799ms);
    EXPECT_EQ(model.Read()[reg::kInputs], 0xA) << "a pulse stays visible";
    model.Advance(T0 + 800ms);
    EXPECT_EQ(model.Read()[reg::kInputs], 0x8);

    model.SetOutput(4, false, T0 + 1s);
    model.SetOutput(4, true, T0 + 1100ms);  // on again within the hold
    model.Advance(T0 + 1h);
    EXPECT_EQ(model.Read()[reg::kInputs], 0x8);

    model.SetOutput(0, true, T0 + 1h);
    model.SetOutput(5, true, T0 + 1h);
    EXPECT_EQ(model.Read()[reg::kInputs], 0x8) << "no relay 0 or 5";
}

TEST(SimRelayModel, OnlySetpointRegistersAreWritable)
{
    RelayModel model(Exact(), T0);
    EXPECT_TRUE(model.SetSetpoint(6, 0, T0));
    EXPECT_TRUE(model.SetSetpoint(42, 7, T0));
    EXPECT_FALSE(model.SetSetpoint(5, 0, T0));
    EXPECT_FALSE(model.SetSetpoint(43, 3, T0));
    const Registers r = model.Read();
    EXPECT_EQ(r[6], 0);
    EXPECT_EQ(r[42], 7);
    EXPECT_EQ(r[5], led::kHealthy);
    EXPECT_EQ(r[43], 9);
}

TEST(SimRegisterMap, DescriptionListsEveryRegisterAndDecodesCodes)
{
    Registers values{};
    values[13] = 2;
    values[37] = 9;  // outside its table
    values[44] = 1;
    const std::string text = DescribeRegisters(values);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 46);
    EXPECT_NE(text.find("13     2  Характеристика = Крутая\n"), std::string::npos) << text;
    EXPECT_NE(text.find("37     9  Действие ТО2 = (нет в таблице)\n"), std::string::npos);
    EXPECT_NE(text.find("44     1  Скорость обмена = 19200\n"), std::string::npos);
}

} // namespace
