#pragma once

// Texts of the main window's status display, without any window.

#include <cstdint>
#include <string>

// A measured current in hundredths of an ampere: "12,34" -- always exactly
// two decimals, never negative, never in exponent form.
std::string FormatMeasuredCurrent(uint16_t hundredths, const std::string& decimalSeparator);

// Register 44: 0, 1, 2 are 9600, 19200, 38400 bit/s; any other code is "".
std::string SpeedCodeText(uint16_t code);

// One indicator picture: which register bit it shows, and in which colour.
struct Indicator {
    const char* control;
    const char* caption;
    int reg;
    int bit;
    bool green;
};

// The twelve pictures in the order the display sets them: the eight LEDs
// from register 5 (LED 1 is bit 7, LEDs 2..8 bits 0..6), then the four inputs
// from register 4.
extern const Indicator kIndicators[12];

// The exchange journal's panel: that it is not being written, and how many
// lines it lost for good; "" when neither.
std::string JournalPanelText(bool failing, uint64_t droppedLines);
