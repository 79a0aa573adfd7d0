#include "SetpointDecode.h"

#include <gtest/gtest.h>

#include <set>

namespace {

const SetpointField& Field(int reg)
{
    return kSetpointFields[reg - kFirstSetpointRegister];
}

std::string Decode(int reg, uint16_t value, const std::string& separator = ",")
{
    return DecodeSetpoint(Field(reg), value, separator);
}

TEST(SetpointNumber, EveryExampleRowWithCommaAndPoint)
{
    struct Row {
        int reg;  // 7: current D=1, 25: current D=2, 8: time D=1
        uint16_t value;
        const char* text;
    };
    const Row rows[] = {
        {7, 0, "0,0"},      {7, 4, "0,0"},       {7, 5, "0,1"},      {7, 55, "0,6"},
        {7, 125, "1,3"},    {7, 1234, "12,0"},   {7, 6000, "60,0"},  {7, 9960, "1E2"},
        {7, 12000, "1,2E2"}, {7, 65535, "6,6E2"},
        {25, 5, "0,05"},    {25, 125, "1,30"},   {25, 1234, "12,00"}, {25, 10000, "1E02"},
        {8, 5, "0,5"},      {8, 25, "2,5"},      {8, 125, "13,0"},   {8, 995, "1E2"},
        {8, 1000, "1E2"},   {8, 65535, "6,6E3"},
        // Beyond the examples: the carry into a new digit, and the largest D=2.
        {7, 995, "10,0"},   {7, 9949, "99,0"},   {25, 65535, "6,6E02"}, {8, 9, "0,9"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Decode(row.reg, row.value), row.text) << row.reg << " = " << row.value;
        std::string dotted = row.text;
        for (auto& c : dotted)
            if (c == ',')
                c = '.';
        EXPECT_EQ(Decode(row.reg, row.value, "."), dotted) << row.reg << " = " << row.value;
    }
}

TEST(SetpointFields, MapCoversRegisters6To41InOrderWithTheirKinds)
{
    std::set<std::string> controls;
    for (int i = 0; i < kSetpointCount; ++i) {
        EXPECT_EQ(kSetpointFields[i].reg, kFirstSetpointRegister + i);
        controls.insert(kSetpointFields[i].control);
        if (kSetpointFields[i].kind == SetpointKind::Code) {
            EXPECT_GT(kSetpointFields[i].tableSize, 0u) << kSetpointFields[i].control;
        }
    }
    EXPECT_EQ(controls.size(), 36u);
    EXPECT_STREQ(Field(25).control, "edZNZ_I");
    EXPECT_EQ(Field(25).decimals, 2);
    EXPECT_STREQ(Field(28).control, "edKTT");
    EXPECT_STREQ(Field(41).control, "edCHAPV_Pusk");
    // Label captions keep their Cyrillic and Latin letters as the relay's
    // documentation prints them.
    EXPECT_STREQ(Field(7).label, "МТЗ I>, А");
    EXPECT_STREQ(Field(15).label, "ТО1 I>>, A");
}

TEST(SetpointFields, AllZeroRegisters)
{
    for (const auto& field : kSetpointFields) {
        const std::string text = DecodeSetpoint(field, 0, ",");
        switch (field.kind) {
        case SetpointKind::Switch: EXPECT_EQ(text, "Откл") << field.control; break;
        case SetpointKind::Current:
            EXPECT_EQ(text, field.reg == 25 ? "0,00" : "0,0") << field.control;
            break;
        case SetpointKind::Time: EXPECT_EQ(text, "0,0") << field.control; break;
        case SetpointKind::Count: EXPECT_EQ(text, "0") << field.control; break;
        case SetpointKind::Code: break;
        }
    }
    EXPECT_EQ(Decode(13, 0), "Независимая");
    EXPECT_EQ(Decode(27, 0), "(0,5-60) А");
    EXPECT_EQ(Decode(29, 0), "ЧАПВ");
    EXPECT_EQ(Decode(30, 0), "Отключение");
    EXPECT_EQ(Decode(31, 0), "ЗНЗ");
    for (int reg : {32, 34, 36, 37})
        EXPECT_EQ(Decode(reg, 0), "RL1") << reg;
}

TEST(SetpointFields, CodesSwitchesAndCounts)
{
    struct Row {
        int reg;
        uint16_t value;
        const char* text;
    };
    const Row rows[] = {
        {6, 1, "Вкл"}, {6, 2, "Вкл"}, {6, 65535, "Вкл"}, {41, 256, "Вкл"},
        {28, 65535, "65535"}, {28, 400, "400"},
        {13, 1, "Пологая"}, {13, 2, "Крутая"}, {13, 3, "Чрезв. инв."}, {13, 4, "Сильно инв."},
        {13, 5, "Норм. инв."},
        {27, 1, "(1-120) А"}, {29, 1, "Блок"}, {30, 1, "Индикация"}, {31, 1, "Неисправность"},
        {32, 1, "RL4"},  // two codes only: no RL2 for the МТЗ relay
        {34, 1, "RL2"}, {34, 2, "RL4"}, {36, 2, "RL4"}, {37, 1, "RL2"},
        // Codes outside a table show their number and read nothing beyond it.
        {13, 6, "6"}, {32, 2, "2"}, {34, 3, "3"}, {27, 65535, "65535"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Decode(row.reg, row.value), row.text) << row.reg << " = " << row.value;
    // The range does not change how currents are scaled.
    EXPECT_EQ(Decode(7, 12000), "1,2E2");
}

} // namespace
