#pragma once

// The relay's 46 holding registers: what each one means, and the setpoints a
// freshly configured relay would carry.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace relaysim {

constexpr std::size_t kRegisterCount = 46;
using Registers = std::array<uint16_t, kRegisterCount>;

namespace reg {
constexpr uint16_t kPhaseA = 0;  // currents in 0.01 A
constexpr uint16_t kPhaseB = 1;
constexpr uint16_t kPhaseC = 2;
constexpr uint16_t kResidual = 3;
constexpr uint16_t kInputs = 4;  // bits 0..3: discrete inputs 1..4
constexpr uint16_t kLeds = 5;    // bit 7: LED 1 (healthy); bits 0..6: LEDs 2..8
constexpr uint16_t kFirstSetpoint = 6;
constexpr uint16_t kLastSetpoint = 42;  // 42 is unused but kept writable with the rest
constexpr uint16_t kAddress = 43;
constexpr uint16_t kSpeedCode = 44;
constexpr uint16_t kLastTrip = 45;  // current of the last trip, 0.01 A
} // namespace reg

namespace led {
constexpr uint16_t kHealthy = 0x80;
constexpr uint16_t kMtz = 0x01;  // LED 2
constexpr uint16_t kTo1 = 0x02;  // LED 3
constexpr uint16_t kTo2 = 0x04;  // LED 4
constexpr uint16_t kZnz = 0x08;  // LED 5
constexpr uint16_t kTrips = 0x7F;
} // namespace led

enum class SetpointKind { Switch, Current, Time, Code, Count };

struct SetpointInfo {
    uint16_t reg;
    std::string_view name;
    SetpointKind kind;
    uint16_t defaultValue;
    std::span<const std::string_view> codes;  // Code kind only
};

// Registers 6..41, ascending.
std::span<const SetpointInfo> SetpointTable();

// One line per register: number, raw value, meaning and the decoded value,
// e.g. "13     0  Характеристика = Независимая".
std::string DescribeRegisters(const Registers& values);

} // namespace relaysim
