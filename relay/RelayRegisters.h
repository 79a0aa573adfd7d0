#pragma once

// The relay's holding registers and coils and what they mean: the one place
// the window, the events, the recording and the setpoint window take them
// from. Plain C++. (The simulator keeps a model of its own on purpose.)

#include <array>
#include <cstdint>
#include <string>

namespace relay {

// A poll reads registers 0..45.
inline constexpr uint16_t kRegisterCount = 46;

// Currents, in hundredths of an ampere.
inline constexpr double kAmperesPerUnit = 0.01;
inline constexpr int kPhaseA = 0;
inline constexpr int kPhaseB = 1;
inline constexpr int kPhaseC = 2;
inline constexpr int kResidual = 3;   // 3Io
inline constexpr int kLastTrip = 45;  // the current of the last trip
// Discrete inputs 1..4 in bits 0..3.
inline constexpr int kInputs = 4;
// LED 1 in bit 7, LEDs 2..8 in bits 0..6.
inline constexpr int kLeds = 5;
// The protection setpoints, registers 6..41 in order.
inline constexpr int kFirstSetpoint = 6;
inline constexpr int kSetpointCount = 36;
inline constexpr int kNetAddress = 43;
inline constexpr int kSpeedCode = 44;  // see SpeedCodeText

// The currents the events and the recording keep, in their order: Ia, Ib,
// Ic, 3Io, the last trip.
inline constexpr std::array<int, 5> kKeptCurrents{kPhaseA, kPhaseB, kPhaseC, kResidual, kLastTrip};

// Coil 0 acknowledges the trip indication; coils 1..4 drive the output
// relays RL1..RL4.
inline constexpr uint16_t kAcknowledgeCoil = 0;

} // namespace relay

// A current register's value, hundredths of an ampere, as text: "12,34" --
// always exactly two decimals, never negative, never in exponent form.
std::string FormatMeasuredCurrent(uint16_t hundredths, const std::string& decimalSeparator);

// The speed code register: 0, 1, 2 are 9600, 19200, 38400 bit/s; any other
// code is "".
std::string SpeedCodeText(uint16_t code);

// One indicator picture: which register bit it shows, and in which colour.
struct Indicator {
    const char* control;
    const char* caption;
    int reg;
    int bit;
    bool green;

    bool IsLed() const { return reg == relay::kLeds; }
    // Lit in these values of the inputs and the LED registers.
    bool Lit(uint16_t inputs, uint16_t leds) const { return (((IsLed() ? leds : inputs) >> bit) & 1) != 0; }
};

// The twelve pictures in the order the display sets them: the eight LEDs,
// LED 1 first, then the four inputs.
extern const Indicator kIndicators[12];
