#pragma once

// The line's overview in words: one row per relay, from its register image
// and its polls.

#include "TDeviceControl.h"

#include <array>
#include <cstdint>
#include <string>

struct OverviewRow {
    std::string name;  // UTF-8; may be empty
    uint8_t address = 0;
    // Ia, Ib, Ic, 3Io and the last trip current as the main window shows
    // them, and in hundredths of an ampere for sorting; empty before the
    // relay first answered.
    std::array<std::string, 5> currents;
    std::array<uint16_t, 5> centiamps{};
    // The captions of the red LEDs lit, one a line; empty: none.
    std::string redLeds;
    // "есть ответ", "нет ответа с 12:04:31", "опрашивается реже"; empty
    // before its first poll.
    std::string link;
    std::string lastAnswer;  // "12:04:31"; empty before the first answer

    bool operator==(const OverviewRow&) const = default;
};

OverviewRow MakeOverviewRow(const std::string& name, uint8_t address, const RegisterImage& image,
                            const PollStats& stats, const std::string& decimalSeparator);

// The relay as the window caption, the events and the selector name it:
// "Фидер 2 (адрес 2)", or "адрес 5" without a name.
std::string RelayCaption(const std::string& name, uint8_t address);
