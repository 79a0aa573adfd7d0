#include "RegisterMap.h"

#include <cstdio>

namespace relaysim {
namespace {

using Kind = SetpointKind;

constexpr std::string_view kCharacteristic[] = {"Независимая", "Пологая",     "Крутая",
                                                "Чрезв. инв.", "Сильно инв.", "Норм. инв."};
constexpr std::string_view kCurrentRange[] = {"(0,5-60) А", "(1-120) А"};
constexpr std::string_view kInput3[] = {"ЧАПВ", "Блок"};
constexpr std::string_view kInput4[] = {"Отключение", "Индикация"};
constexpr std::string_view kRl4[] = {"ЗНЗ", "Неисправность"};
constexpr std::string_view kMtzRelay[] = {"RL1", "RL4"};
constexpr std::string_view kThreeRelay[] = {"RL1", "RL2", "RL4"};

// A relay set up for a 200/5 A feeder: definite-time МТЗ at 5 A / 0.5 s,
// instantaneous stages well above it, earth fault at 0.5 A. The codes are
// chosen so that the window shows texts from the middle of its tables too.
constexpr SetpointInfo kSetpoints[] = {
    {6, "МТЗ вкл/откл", Kind::Switch, 1, {}},
    {7, "МТЗ I>, А", Kind::Current, 500, {}},
    {8, "МТЗ Тв, с", Kind::Time, 5, {}},
    {9, "МТЗ вкл АПВ", Kind::Switch, 1, {}},
    {10, "МТЗ I> бл.", Kind::Switch, 0, {}},
    {11, "Ускорение", Kind::Switch, 1, {}},
    {12, "Т ускорения, с", Kind::Time, 2, {}},
    {13, "Характеристика", Kind::Code, 0, kCharacteristic},
    {14, "ТО1 вкл/откл", Kind::Switch, 1, {}},
    {15, "ТО1 I>>, A", Kind::Current, 2000, {}},
    {16, "ТО1 Тв, с", Kind::Time, 1, {}},
    {17, "ТО1 вкл АПВ", Kind::Switch, 0, {}},
    {18, "ТО1 I>> бл.", Kind::Switch, 0, {}},
    {19, "ТО2 вкл/откл", Kind::Switch, 1, {}},
    {20, "ТО2 I>>, A", Kind::Current, 4000, {}},
    {21, "ТО2 Тв, с", Kind::Time, 0, {}},
    {22, "ТО2 вкл АПВ", Kind::Switch, 0, {}},
    {23, "ТО2 I>> бл.", Kind::Switch, 0, {}},
    {24, "ЗНЗ вкл/откл", Kind::Switch, 1, {}},
    {25, "ЗНЗ 3Io, A", Kind::Current, 50, {}},
    {26, "ЗНЗ Тв, с", Kind::Time, 10, {}},
    {27, "Диапазон I", Kind::Code, 0, kCurrentRange},
    {28, "Ктр ТТ", Kind::Count, 40, {}},
    {29, "Вход 3", Kind::Code, 1, kInput3},
    {30, "Вход 4", Kind::Code, 1, kInput4},
    {31, "RL4", Kind::Code, 1, kRl4},
    {32, "Действие МТЗ", Kind::Code, 0, kMtzRelay},
    {33, "МТЗ на RL3", Kind::Switch, 1, {}},
    {34, "Действие ЗНЗ", Kind::Code, 2, kThreeRelay},
    {35, "Фиксация RL1", Kind::Switch, 1, {}},
    {36, "Действие ТО1", Kind::Code, 0, kThreeRelay},
    {37, "Действие ТО2", Kind::Code, 1, kThreeRelay},
    {38, "вв АПВ", Kind::Switch, 1, {}},
    {39, "Т Гот АПВ, с", Kind::Time, 100, {}},
    {40, "Т АПВ,с", Kind::Time, 15, {}},
    {41, "Вн зап ЧАПВ", Kind::Switch, 0, {}},
};

constexpr std::string_view kStatusNames[] = {
    "Ток фазы А", "Ток фазы B", "Ток фазы С", "Ток 3Io", "Дискретные входы", "Светодиоды",
};

std::string Format(const char* format, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Amps(uint16_t v)
{
    return Format("%.2f A", v / 100.0);
}

std::string Hex(uint16_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04X hex", v);
    return text;
}

std::string DecodeSetpoint(const SetpointInfo& info, uint16_t v)
{
    switch (info.kind) {
    case Kind::Switch:
        return v ? "Вкл" : "Откл";
    case Kind::Current:
        return Amps(v);
    case Kind::Time:
        return Format("%.1f s", v / 10.0);
    case Kind::Code:
        return v < info.codes.size() ? std::string(info.codes[v]) : "(нет в таблице)";
    case Kind::Count:
        return std::to_string(v);
    }
    return {};
}

std::string Decode(uint16_t r, uint16_t v, std::string& name)
{
    if (r >= reg::kFirstSetpoint && r < reg::kFirstSetpoint + std::size(kSetpoints)) {
        const auto& info = kSetpoints[r - reg::kFirstSetpoint];
        name = info.name;
        return DecodeSetpoint(info, v);
    }
    if (r < std::size(kStatusNames))
        name = kStatusNames[r];
    switch (r) {
    case reg::kPhaseA:
    case reg::kPhaseB:
    case reg::kPhaseC:
    case reg::kResidual:
        return Amps(v);
    case reg::kInputs:
    case reg::kLeds:
        return Hex(v);
    case reg::kAddress:
        name = "Сетевой адрес";
        return std::to_string(v);
    case reg::kSpeedCode: {
        static constexpr const char* kSpeeds[] = {"9600", "19200", "38400"};
        name = "Скорость обмена";
        return v < std::size(kSpeeds) ? kSpeeds[v] : "?";
    }
    case reg::kLastTrip:
        name = "Последнее срабатывание Iкз";
        return Amps(v);
    default:
        name = "(не используется)";
        return std::to_string(v);
    }
}

} // namespace

std::span<const SetpointInfo> SetpointTable()
{
    return kSetpoints;
}

std::string DescribeRegisters(const Registers& values)
{
    std::string text;
    for (uint16_t r = 0; r < kRegisterCount; ++r) {
        std::string name;
        const std::string decoded = Decode(r, values[r], name);
        char head[24];
        std::snprintf(head, sizeof head, "%2u %5u  ", r, values[r]);
        text += head + name + " = " + decoded + "\n";
    }
    return text;
}

} // namespace relaysim
