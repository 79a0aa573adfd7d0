#pragma once

// What the station publishes, as JSON text (UTF-8).

#include "RelayRegisters.h"
#include "TDeviceControl.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// "text" with JSON's escapes.
std::string JsonString(std::string_view utf8);

// The currents of a state and an event, in relay::kKeptCurrents' order:
// each one's register, its member in the JSON, and its caption.
struct StateCurrent {
    int reg;
    const char* member;
    const char* caption;
};
inline constexpr StateCurrent kStateCurrents[] = {{relay::kPhaseA, "Ia", "Ia"},
                                                  {relay::kPhaseB, "Ib", "Ib"},
                                                  {relay::kPhaseC, "Ic", "Ic"},
                                                  {relay::kResidual, "3Io", "3Io"},
                                                  {relay::kLastTrip, "lastTrip", "Последнее срабатывание Iкз"}};
// The members of a state that hold the LEDs and the inputs, each under its
// caption.
inline constexpr const char* kLedsMember = "leds";
inline constexpr const char* kInputsMember = "inputs";
inline const char* StateGroup(const Indicator& indicator)
{
    return indicator.IsLed() ? kLedsMember : kInputsMember;
}

// A relay's retained state: its name, currents in A (null before its first
// answer), LEDs and inputs by their captions, and its link with the counts.
// Without the time, so that two states compare equal when nothing changed;
// WithTime puts it first.
std::string StateJson(uint8_t address, const std::string& name, const RegisterImage& image, const PollStats& stats);
std::string WithTime(const std::string& json, std::chrono::system_clock::time_point at);

// The relay's setpoints as the setpoint window decodes them: each with its
// register, group, label, raw value and text (its decimals after
// decimalSeparator). Without the time, as StateJson.
std::string SetpointsJson(uint8_t address, const RegisterImage& image, const std::string& decimalSeparator = ".");

// One line of an event file (UTF-8, without its line end) as an event
// message with this id, and the relay's address (0: the whole line's);
// none for a line that is not an event.
struct EventMessage {
    uint8_t address = 0;
    std::string json;
};
std::optional<EventMessage> EventJson(const std::string& csvLine, const std::string& id);
