#pragma once

// The operator's commands to one relay of the line, each run with polling
// paused; how each ended, in the events' words. Plain C++.

#include <cstdint>
#include <functional>
#include <string>

class DeviceLink;
class TModBusDevice;

// One exchange with the relay at that address.
std::string RelayCommand(DeviceLink& link, uint8_t address, const std::function<void(TModBusDevice&)>& exchange);

// Writes of "off" a pulse makes when the relay may have taken the "on".
inline constexpr int kPulseOffAttempts = 3;

struct PulseOutcome {
    std::string outcome;     // the "on"'s, or the last "off"'s when no "off" was answered
    bool mayStayOn = false;  // the relay may have taken the "on" and no "off" was answered
};

// The coil on, half a second, then off.
PulseOutcome PulseCoil(DeviceLink& link, uint8_t address, uint16_t coil);
