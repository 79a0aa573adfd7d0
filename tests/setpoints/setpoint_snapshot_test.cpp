#include "SetpointReport.h"
#include "SetpointSnapshot.h"

#include "Cp1251.h"

#include <gtest/gtest.h>

namespace {

SetpointSnapshot Sample()
{
    SetpointSnapshot s;
    s.address = "2";
    s.relayName = "Фидер; «2»";  // a name that needs quotes
    s.line = "9600 бит/с";
    s.takenAt = "08.12.2026 10:15:02";
    s.program = "zaritmon 1.0.0";
    for (int i = 0; i < kSetpointCount; ++i)
        s.values[i] = static_cast<uint16_t>(i * 37);
    return s;
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Our file read back, and the same table as a spreadsheet saves it after an
// edit: UTF-8 with a mark, fields in quotes, rows padded and out of order.
TEST(SetpointSnapshot, OursAndASpreadsheetsAreReadBack)
{
    const SetpointSnapshot s = Sample();
    const std::string ours = SnapshotToCsv(s, ",");
    EXPECT_NE(ours.find(Utf8ToCp1251("\r\nРегистр;Уставка;Значение;Текст;Единица\r\n6;МТЗ вкл/откл;0;Откл;\r\n"
                                   "7;МТЗ I>, А;37;0,4;А\r\n")),
              std::string::npos);

    std::string edited = "\xEF\xBB\xBF" + Replace(Cp1251ToUtf8(ours), "\r\n7;МТЗ I>, А;37;0,4;А\r\n", "\r\n");
    edited = Replace(edited, "\r\n6;", "\r\n\"7\";\"МТЗ I>, А\";\" 600 \";;;;\n6;");
    SetpointSnapshot expected = s;
    expected.values[1] = 600;
    for (const auto& [text, want] : {std::pair{ours, s}, std::pair{edited, expected}}) {
        const SnapshotRead read = ParseSnapshotCsv(text);
        ASSERT_TRUE(read.snapshot.has_value()) << read.problem;
        EXPECT_EQ(read.snapshot->values, want.values);
        EXPECT_EQ(read.snapshot->relayName, want.relayName);
        EXPECT_EQ(read.snapshot->takenAt, want.takenAt);
    }
}

TEST(SetpointSnapshot, WhatIsNotASnapshotIsRefusedWithItsLine)
{
    const std::string ours = SnapshotToCsv(Sample(), ",");
    struct Row {
        const char* name;
        std::string text;
        const char* problem;
    };
    const Row rows[] = {
        {"not ours at all", "a;b;c\r\n1;2;3\r\n", "строка 1:"},
        {"no table", Utf8ToCp1251("Уставки реле\r\nАдрес;2\r\n"), "не снимок"},
        {"a column missing from the header", Replace(ours, Utf8ToCp1251(";Единица\r\n"), "\r\n"), "строка 8: столбцы"},
        {"a row with six columns", Replace(ours, "\r\n8;", "\r\n8;x;1;2;3;4;"), "строка 11:"},
        {"a register twice", Replace(ours, "\r\n8;", "\r\n7;"), "строка 11: регистр 7 уже был в строке 10"},
        {"a register beyond the setpoints", Replace(ours, "\r\n8;", "\r\n42;"), "строка 11: регистр «42»"},
        {"a value not a number", Replace(ours, ";37;", ";3,7;"), "строка 10: значение «3,7»"},
        {"a value too big", Replace(ours, ";37;", ";65536;"), "строка 10: значение"},
        {"a row missing", Replace(ours, Utf8ToCp1251("\r\n8;МТЗ Тв, с;74;7,4;с"), ""), "35 уставок из 36, нет регистров 8"},
        {"a quote left open", Replace(ours, "\r\n8;", "\r\n\"8;"), "строка 11: кавычка"},
        {"binary bytes", Replace(ours, "\r\n8;", "\r\n8\x01;"), "строка 11: нечитаемые байты"},
        {"0x98, no Windows-1251 character", Replace(ours, "\r\n8;", "\r\n8\x98;"), "строка 11: нечитаемые"},
    };
    for (const Row& row : rows) {
        const SnapshotRead read = ParseSnapshotCsv(row.text);
        EXPECT_FALSE(read.snapshot.has_value()) << row.name;
        EXPECT_NE(read.problem.find(row.problem), std::string::npos) << row.name << ": " << read.problem;
    }
}

TEST(SetpointSnapshot, DifferencesSayBothValuesAndTheCodesWhenTheTextsAgree)
{
    SetpointValues saved{}, now{};
    saved[0] = 1;  // register 6, a switch: 1 and 2 both read "Вкл"
    now[0] = 2;
    saved[1] = 500;
    now[1] = 600;
    const auto differences = CompareSetpoints(saved, now);
    ASSERT_EQ(differences.size(), 2u);
    EXPECT_EQ(DifferenceText(differences[0], ","), "МТЗ вкл/откл (регистр 6): реле Вкл (2), файл Вкл (1)");
    EXPECT_EQ(DifferenceText(differences[1], ","), "МТЗ I>, А (регистр 7): реле 6,0 А, файл 5,0 А");
    EXPECT_EQ(ComparisonSummary(differences.size()), "совпадают 34 из 36, отличаются 2");
}

// A file belongs to the relay its "Адрес" names: the report of another
// relay names the file but lists no differences from it.
TEST(SetpointSnapshot, AReportComparesARelayWithItsOwnFileOnly)
{
    SetpointSnapshot file = Sample();
    file.values[1] = 600;
    ReportInput input{Sample(), {}, &file, "f.csv"};  // the relay at address 2
    for (const char* address : {"02", "", "1"}) {
        file.address = address;
        std::string text;
        for (const ReportBlock& block : BuildSetpointReport(input))
            text += block.text + (block.rows.size() > 1 ? block.rows[1][0] : "") + "\n";
        const bool own = std::string(address) != "1";
        EXPECT_EQ(text.find("отличаются 1\n7\n") != std::string::npos, own) << address;
        EXPECT_EQ(text.find("Не включено: это снимок реле с адресом 1, отчёт — о реле с адресом 2.") != std::string::npos,
                  !own) << address;
    }
}

} // namespace
