#include "StatusFormat.h"

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

const Indicator kIndicators[12] = {
    {"imgLED1", "Исправно", 5, 7, true},
    {"imgLED2", "Сработало I> (МТЗ)", 5, 0, false},
    {"imgLED3", "Сработало I>> (ТО1)", 5, 1, false},
    {"imgLED4", "Сработало I>>> (ТО2)", 5, 2, false},
    {"imgLED5", "Сработало 3Io (ЗНЗ)", 5, 3, false},
    {"imgLED6", "Сработало АПВ", 5, 4, false},
    {"imgLED7", "Состояние входа 2", 5, 5, false},
    {"imgLED8", "Состояние входа 4", 5, 6, false},
    {"imgDInput1", "Дискретный взод 1", 4, 0, false},
    {"imgDInput2", "Дискретный вход 2", 4, 1, false},
    {"imgDInput3", "Дискретный вход 3", 4, 2, false},
    {"imgDInput4", "Дискретный вход 4", 4, 3, false},
};

std::string JournalPanelText(bool failing, uint64_t droppedLines)
{
    const std::string gap = "пропущено " + std::to_string(droppedLines) + " строк";
    if (failing)
        return droppedLines ? "Журнал обмена не пишется, " + gap : "Журнал обмена не пишется";
    return droppedLines ? "Журнал обмена: " + gap : "";
}
