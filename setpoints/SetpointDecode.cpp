#include "SetpointDecode.h"

#include <iterator>

namespace {

const char* const kCharacteristic[] = {"Независимая", "Пологая", "Крутая",
                                       "Чрезв. инв.", "Сильно инв.", "Норм. инв."};
const char* const kCurrentRange[] = {"(0,5-60) А", "(1-120) А"};
const char* const kInput3[] = {"ЧАПВ", "Блок"};
const char* const kInput4[] = {"Отключение", "Индикация"};
const char* const kRL4[] = {"ЗНЗ", "Неисправность"};
const char* const kMtzRelay[] = {"RL1", "RL4"};
const char* const kThreeRelay[] = {"RL1", "RL2", "RL4"};

uint64_t Pow10(int n)
{
    uint64_t p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

int DigitCount(uint64_t v)
{
    int n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

} // namespace

const SetpointField kSetpointFields[kSetpointCount] = {
    {6, "МТЗ", "МТЗ вкл/откл", "edMTZ_On", SetpointKind::Switch, 0, nullptr, 0},
    {7, "МТЗ", "МТЗ I>, А", "edMTZ_I", SetpointKind::Current, 1, nullptr, 0},
    {8, "МТЗ", "МТЗ Тв, с", "edMTZ_T", SetpointKind::Time, 1, nullptr, 0},
    {9, "МТЗ", "МТЗ вкл АПВ", "edMTZ_on_APV", SetpointKind::Switch, 0, nullptr, 0},
    {10, "МТЗ", "МТЗ I> бл.", "edMTZ_Block", SetpointKind::Switch, 0, nullptr, 0},
    {11, "МТЗ", "Ускорение", "edMTZ_Uskor", SetpointKind::Switch, 0, nullptr, 0},
    {12, "МТЗ", "Т ускорения, с", "edMTZ_T_Uskor", SetpointKind::Time, 1, nullptr, 0},
    {13, "МТЗ", "Характеристика", "edMTZ_CharType", SetpointKind::Code, 0, kCharacteristic, std::size(kCharacteristic)},
    {14, "ТО1", "ТО1 вкл/откл", "edTO1_On", SetpointKind::Switch, 0, nullptr, 0},
    {15, "ТО1", "ТО1 I>>, A", "edTO1_I", SetpointKind::Current, 1, nullptr, 0},
    {16, "ТО1", "ТО1 Тв, с", "edTO1_T", SetpointKind::Time, 1, nullptr, 0},
    {17, "ТО1", "ТО1 вкл АПВ", "edTO1_on_APV", SetpointKind::Switch, 0, nullptr, 0},
    {18, "ТО1", "ТО1 I>> бл.", "edTO1_Block", SetpointKind::Switch, 0, nullptr, 0},
    {19, "ТО2", "ТО2 вкл/откл", "edTO2_On", SetpointKind::Switch, 0, nullptr, 0},
    {20, "ТО2", "ТО2 I>>, A", "edTO2_I", SetpointKind::Current, 1, nullptr, 0},
    {21, "ТО2", "ТО2 Тв, с", "edTO2_T", SetpointKind::Time, 1, nullptr, 0},
    {22, "ТО2", "ТО2 вкл АПВ", "edTO2_on_APV", SetpointKind::Switch, 0, nullptr, 0},
    {23, "ТО2", "ТО2 I>> бл.", "edTO2_Block", SetpointKind::Switch, 0, nullptr, 0},
    {24, "ЗНЗ", "ЗНЗ вкл/откл", "edZNZ_On", SetpointKind::Switch, 0, nullptr, 0},
    {25, "ЗНЗ", "ЗНЗ 3Io, A", "edZNZ_I", SetpointKind::Current, 2, nullptr, 0},
    {26, "ЗНЗ", "ЗНЗ Тв, с", "edZNZ_T", SetpointKind::Time, 1, nullptr, 0},
    {27, "Конфигурация", "Диапазон I", "edCurrentDiap", SetpointKind::Code, 0, kCurrentRange, std::size(kCurrentRange)},
    {28, "Конфигурация", "Ктр ТТ", "edKTT", SetpointKind::Count, 0, nullptr, 0},
    {29, "Конфигурация", "Вход 3", "edIN3", SetpointKind::Code, 0, kInput3, std::size(kInput3)},
    {30, "Конфигурация", "Вход 4", "edIN4", SetpointKind::Code, 0, kInput4, std::size(kInput4)},
    {31, "Конфигурация", "RL4", "edRL4", SetpointKind::Code, 0, kRL4, std::size(kRL4)},
    {32, "Конфигурация", "Действие МТЗ", "edMTZ_Rel", SetpointKind::Code, 0, kMtzRelay, std::size(kMtzRelay)},
    {33, "Конфигурация", "МТЗ на RL3", "edMTZ_on_RL3", SetpointKind::Switch, 0, nullptr, 0},
    {34, "Конфигурация", "Действие ЗНЗ", "edZNZ_Rel", SetpointKind::Code, 0, kThreeRelay, std::size(kThreeRelay)},
    {35, "Конфигурация", "Фиксация RL1", "edRL1_Fix", SetpointKind::Switch, 0, nullptr, 0},
    {36, "Конфигурация", "Действие ТО1", "edTO1_Rel", SetpointKind::Code, 0, kThreeRelay, std::size(kThreeRelay)},
    {37, "Конфигурация", "Действие ТО2", "edTO2_Rel", SetpointKind::Code, 0, kThreeRelay, std::size(kThreeRelay)},
    {38, "АПВ", "вв АПВ", "edAPV_On", SetpointKind::Switch, 0, nullptr, 0},
    {39, "АПВ", "Т Гот АПВ, с", "edAPV_TGot", SetpointKind::Time, 1, nullptr, 0},
    {40, "АПВ", "Т АПВ,с", "edAPV_T", SetpointKind::Time, 1, nullptr, 0},
    {41, "АПВ", "Вн зап ЧАПВ", "edCHAPV_Pusk", SetpointKind::Switch, 0, nullptr, 0},};

std::string FormatSetpointNumber(uint32_t units, int scaleDigits, int decimals,
                                 const std::string& decimalSeparator)
{
    // Exact integer arithmetic on the register value: x = units / 10^scale.
    // Step of two significant digits, and step of the shown decimals; the
    // coarser one wins.
    const int digits = DigitCount(units);
    const uint64_t significantStep = digits >= 2 ? Pow10(digits - 2) : 1;
    const uint64_t decimalStep = Pow10(scaleDigits > decimals ? scaleDigits - decimals : 0);
    const uint64_t step = significantStep > decimalStep ? significantStep : decimalStep;
    const uint64_t y = (units + step / 2) / step * step;  // half up

    const uint64_t one = Pow10(scaleDigits);
    if (y < 100 * one) {
        std::string text = std::to_string(y / one) + decimalSeparator;
        std::string fraction = std::to_string(y % one + one).substr(1);  // zero-padded
        fraction.resize(static_cast<std::size_t>(decimals), '0');
        return text + fraction;
    }
    // y >= 100 has at most two significant digits here.
    const int yDigits = DigitCount(y);
    const uint64_t lead = y / Pow10(yDigits - 2);
    std::string text = std::to_string(lead / 10);
    if (lead % 10 != 0)
        text += decimalSeparator + std::to_string(lead % 10);
    std::string exponent = std::to_string(yDigits - 1 - scaleDigits);
    if (static_cast<int>(exponent.size()) < decimals)
        exponent.insert(0, static_cast<std::size_t>(decimals) - exponent.size(), '0');
    return text + "E" + exponent;
}

std::string DecodeSetpoint(const SetpointField& field, uint16_t value,
                           const std::string& decimalSeparator)
{
    switch (field.kind) {
    case SetpointKind::Switch:
        return value != 0 ? "Вкл" : "Откл";
    case SetpointKind::Current:
        return FormatSetpointNumber(value, 2, field.decimals, decimalSeparator);
    case SetpointKind::Time:
        return FormatSetpointNumber(value, 1, field.decimals, decimalSeparator);
    case SetpointKind::Code:
        // A code the relay should never send is shown as the number itself.
        return value < field.tableSize ? field.table[value] : std::to_string(value);
    case SetpointKind::Count:
        return std::to_string(value);
    }
    return {};
}

std::string DecodeSetpointWithUnit(const SetpointField& field, uint16_t value, const std::string& decimalSeparator)
{
    const std::string unit = SetpointUnit(field);
    return DecodeSetpoint(field, value, decimalSeparator) + (unit.empty() ? "" : " " + unit);
}

std::string SetpointUnit(const SetpointField& field)
{
    switch (field.kind) {
    case SetpointKind::Current: return "А";
    case SetpointKind::Time: return "с";
    default: return {};
    }
}
