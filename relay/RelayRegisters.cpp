#include "RelayRegisters.h"

#include <cstdio>

std::string FormatMeasuredCurrent(uint16_t hundredths, const std::string& decimalSeparator)
{
    char fraction[3];
    std::snprintf(fraction, sizeof fraction, "%02u", static_cast<unsigned>(hundredths % 100));
    return std::to_string(hundredths / 100) + decimalSeparator + fraction;
}

std::string SpeedCodeText(uint16_t code)
{
    static const char* const kSpeeds[] = {"9600", "19200", "38400"};
    return code < 3 ? kSpeeds[code] : "";
}

using relay::kInputs;
using relay::kLeds;

const Indicator kIndicators[12] = {
    {"imgLED1", "Исправно", kLeds, 7, true},
    {"imgLED2", "Сработало I> (МТЗ)", kLeds, 0, false},
    {"imgLED3", "Сработало I>> (ТО1)", kLeds, 1, false},
    {"imgLED4", "Сработало I>>> (ТО2)", kLeds, 2, false},
    {"imgLED5", "Сработало 3Io (ЗНЗ)", kLeds, 3, false},
    {"imgLED6", "Сработало АПВ", kLeds, 4, false},
    {"imgLED7", "Состояние входа 2", kLeds, 5, false},
    {"imgLED8", "Состояние входа 4", kLeds, 6, false},
    {"imgDInput1", "Дискретный взод 1", kInputs, 0, false},
    {"imgDInput2", "Дискретный вход 2", kInputs, 1, false},
    {"imgDInput3", "Дискретный вход 3", kInputs, 2, false},
    {"imgDInput4", "Дискретный вход 4", kInputs, 3, false},
};
