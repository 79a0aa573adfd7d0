#pragma once

// Decoding of the relay's setpoint registers 6..41 into the texts of the
// setpoint window, without any window.

#include "RelayRegisters.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum class SetpointKind { Switch, Current, Time, Code, Count };

struct SetpointField {
    uint16_t reg;
    const char* group;
    const char* label;
    const char* control;
    SetpointKind kind;
    int decimals;               // Current and Time
    const char* const* table;   // Code: the texts, codes from 0
    std::size_t tableSize;
};

inline constexpr int kFirstSetpointRegister = relay::kFirstSetpoint;
inline constexpr int kSetpointCount = relay::kSetpointCount;
// Registers 6..41 in order.
extern const SetpointField kSetpointFields[kSetpointCount];

// A setpoint value: `units` of 10^-scaleDigits, shown with two significant
// digits or `decimals` decimals, whichever is coarser, rounded half up;
// 100 and more in exponent form ("1,2E2", "1E02").
std::string FormatSetpointNumber(uint32_t units, int scaleDigits, int decimals,
                                 const std::string& decimalSeparator);

// The text of one field for a register value.
std::string DecodeSetpoint(const SetpointField& field, uint16_t value,
                           const std::string& decimalSeparator);

// "А" for a current, "с" for a time, "" for the rest.
std::string SetpointUnit(const SetpointField& field);
// The text with its unit: "5,0 А", "Вкл".
std::string DecodeSetpointWithUnit(const SetpointField& field, uint16_t value, const std::string& decimalSeparator);
