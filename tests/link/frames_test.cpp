#include "ExchangeLog.h"
#include "ModbusFrame.h"
#include "TModBusDevice.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <random>
#include <cstdio>

namespace {

using namespace testing_support;

Bytes ToBytes(const modbus::Request& r)
{
    return Bytes(r.begin(), r.end());
}

TEST(Crc16, GoldenValues)
{
    const std::string check = "123456789";
    EXPECT_EQ(modbus::Crc16(Bytes(check.begin(), check.end())), 0x4B37);
    EXPECT_EQ(modbus::Crc16({}), 0xFFFF);
    EXPECT_EQ(modbus::Crc16(ParseHex("01 03 00 00 00 01")), 0x0A84);
    EXPECT_EQ(modbus::Crc16(ParseHex("01 03 00 00 00 2E")), 0xD6C5);
}

TEST(Crc16, TablesAgreeWithBitwiseOverRandomInput)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 2000; ++round) {
        Bytes bytes(random() % 300);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(random());
        ASSERT_EQ(modbus::Crc16(bytes), BitwiseCrc(bytes)) << "length " << bytes.size();
    }
}

TEST(Frames, ReadHoldingRegistersRequest)
{
    EXPECT_EQ(ToBytes(modbus::BuildReadHoldingRegisters(1, 0, 46)), ParseHex("01 03 00 00 00 2E C5 D6"));
    EXPECT_EQ(ToBytes(modbus::BuildReadHoldingRegisters(1, 0, 1)), ParseHex("01 03 00 00 00 01 84 0A"));
    // The address byte is whatever the caller passes, e.g. the low byte of 257.
    EXPECT_EQ(modbus::BuildReadHoldingRegisters(static_cast<uint8_t>(257), 0, 46)[0], 0x01);
    EXPECT_EQ(modbus::ReadHoldingRegistersReplySize(46), 97u);
}

TEST(Frames, WriteCoilRequestsForEveryRelayCommand)
{
    struct Row {
        uint16_t coil;
        const char* on;
        const char* off;
    };
    const Row rows[] = {
        {0, "01 05 00 00 FF 00 8C 3A", "01 05 00 00 00 00 CD CA"},
        {1, "01 05 00 01 FF 00 DD FA", "01 05 00 01 00 00 9C 0A"},
        {2, "01 05 00 02 FF 00 2D FA", "01 05 00 02 00 00 6C 0A"},
        {3, "01 05 00 03 FF 00 7C 3A", "01 05 00 03 00 00 3D CA"},
        {4, "01 05 00 04 FF 00 CD FB", "01 05 00 04 00 00 8C 0B"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ToBytes(modbus::BuildWriteCoil(1, row.coil, true)), ParseHex(row.on)) << row.coil;
        EXPECT_EQ(ToBytes(modbus::BuildWriteCoil(1, row.coil, false)), ParseHex(row.off)) << row.coil;
    }
}

TEST(Frames, RawRequestAppendsCrcOfExactlyTheGivenBytes)
{
    EXPECT_EQ(modbus::BuildRaw(ParseHex("01 03 00 00 00 01"), true), ParseHex("01 03 00 00 00 01 84 0A"));
    const Bytes three = ParseHex("01 02 03");
    const Bytes framed = modbus::BuildRaw(three, true);
    ASSERT_EQ(framed.size(), 5u);
    EXPECT_EQ(framed[3] | framed[4] << 8, BitwiseCrc(three));
    EXPECT_EQ(modbus::BuildRaw(three, false), three);
    EXPECT_EQ(modbus::BuildRaw({}, true), ParseHex("FF FF"));
}

Bytes GoodReply(uint16_t count, uint16_t base)
{
    Bytes reply{0x01, 0x03, static_cast<uint8_t>(2 * count)};
    for (uint16_t i = 0; i < count; ++i) {
        const uint16_t v = static_cast<uint16_t>(base + i);
        reply.push_back(static_cast<uint8_t>(v >> 8));
        reply.push_back(static_cast<uint8_t>(v));
    }
    return WithCrc(reply);
}

TEST(Frames, ReadHoldingRegistersReplyValidation)
{
    const Bytes good = GoodReply(46, 0xFF00);
    Bytes swapped = good;
    std::swap(swapped[95], swapped[96]);
    Bytes badCrc = good;
    badCrc[96] ^= 0x01;
    Bytes badData = good;
    badData[10] ^= 0x80;
    const Bytes exception = ParseHex("01 83 02 C0 F1");
    Bytes longer = good;
    longer.push_back(0);

    struct Row {
        const char* name;
        Bytes reply;
        bool accepted;
    };
    const Row rows[] = {
        {"good", good, true},
        {"CRC bytes swapped", swapped, false},
        {"wrong CRC byte", badCrc, false},
        {"corrupted register", badData, false},
        {"exception reply with its own good CRC", exception, false},
        {"one byte short", Bytes(good.begin(), good.end() - 1), false},
        {"one byte long", longer, false},
        {"empty", {}, false},
    };
    for (const auto& row : rows) {
        std::vector<uint16_t> dest(46, 0xBEEF);
        EXPECT_EQ(modbus::DecodeReadHoldingRegisters(row.reply, 46, dest.data()), row.accepted) << row.name;
        for (uint16_t i = 0; i < 46; ++i) {
            const uint16_t expected = row.accepted ? static_cast<uint16_t>(0xFF00 + i) : 0xBEEF;
            ASSERT_EQ(dest[i], expected) << row.name << " register " << i;
        }
    }
    EXPECT_TRUE(modbus::TrailingCrcMatches(exception));
}

TEST(Frames, RegisterBytesAreHighByteFirst)
{
    const Bytes reply = WithCrc(ParseHex("01 03 02 01 02"));
    uint16_t value = 0;
    ASSERT_TRUE(modbus::DecodeReadHoldingRegisters(reply, 1, &value));
    EXPECT_EQ(value, 258);
}

TEST(Frames, CoilAndRawReplyValidation)
{
    struct Row {
        const char* name;
        Bytes reply;
        bool coilAccepted;
        bool rawAccepted;
    };
    const Row rows[] = {
        {"echo", ParseHex("01 05 00 01 FF 00 DD FA"), true, true},
        // The echo is not compared with the request: any 8 bytes with their CRC.
        {"other coil's echo", ParseHex("01 05 00 00 00 00 CD CA"), true, true},
        {"bad CRC", ParseHex("01 05 00 01 FF 00 DD FB"), false, false},
        {"exception", ParseHex("01 83 02 C0 F1"), false, true},
        {"two bytes, CRC of nothing", ParseHex("FF FF"), false, true},
        {"one byte", ParseHex("FF"), false, false},
        {"nothing", {}, false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(modbus::CheckWriteCoilReply(row.reply), row.coilAccepted) << row.name;
        EXPECT_EQ(modbus::CheckRawReply(row.reply), row.rawAccepted) << row.name;
    }
}

TEST(LogText, FrameFormatting)
{
    EXPECT_EQ(modbus::FormatFrame("Запрос", ParseHex("01 03 00 00 00 2E C5 D6")),
              "Запрос: 01 03 00 00 00 2E C5 D6 ");
    EXPECT_EQ(modbus::FormatFrame("Ошибка CRC", {}), "Ошибка CRC: ");
    EXPECT_EQ(modbus::FormatFrame("x", ParseHex("0A FF 00")), "x: 0A FF 00 ");
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(modbus::FormatFrame("Ответ", all), "Ответ: " + HexText(all));
}

TEST(LogText, TimeOfDay)
{
    EXPECT_EQ(FormatLogTime(9, 5, 7, 45), "9:05:07:45");
    EXPECT_EQ(FormatLogTime(9, 5, 8, 7), "9:05:08:7");
    EXPECT_EQ(FormatLogTime(0, 0, 0, 0), "0:00:00:0");
    EXPECT_EQ(FormatLogTime(23, 59, 59, 999), "23:59:59:999");
}

TEST(ExchangeLogTest, TextEndsEveryLineWithCrLfAndClearEmpties)
{
    ExchangeLog log;
    EXPECT_EQ(log.Text(), "");
    log.Add("a");
    log.Add("б");
    EXPECT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.Text(), "a\r\nб\r\n");
    EXPECT_EQ(log.Line(1), "б");
    EXPECT_EQ(log.Line(2), "");
    EXPECT_EQ(log.TextFrom(1, "\n"), "б\n");
    EXPECT_EQ(log.TextFrom(2, "\n"), "");
    log.Clear();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.Text(), "");
}

TEST(ExchangeLogTest, ManyLinesAcrossBlocksStayWholeAndCompact)
{
    ExchangeLog log;
    std::size_t textBytes = 0;
    const std::string longLine(3u << 20, 'x');  // longer than a block
    for (int i = 0; i < 30000; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), '#');
        if (i == 12345)
            line = longLine;
        textBytes += line.size();
        log.Add(line);
    }
    ASSERT_EQ(log.Count(), 30000u);
    EXPECT_EQ(log.Line(0), "line 0");
    EXPECT_EQ(log.Line(12345), longLine);
    EXPECT_EQ(log.Line(29999), "line 29999" + std::string(29999 % 97, '#'));
    EXPECT_EQ(log.Text().size(), textBytes + 2 * 30000);
    EXPECT_LT(log.MemoryBytes(), textBytes + 32 * 30000 + (2u << 20));
    log.Clear();
    EXPECT_LT(log.MemoryBytes(), 1024u);
}

TEST(ExchangeLogTest, LinesCarryTimeThenTabThenBody)
{
    ExchangeLog log;
    TModBusDevice master;
    master.LogLine("no log set: dropped");
    master.SetLog(&log);
    master.LogFrame("Запрос", ParseHex("01 02"));
    ASSERT_EQ(log.Count(), 1u);
    const std::string line = log.Line(0);
    const auto tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos);
    EXPECT_EQ(line.substr(tab + 1), "Запрос: 01 02 ");
    int h = -1, m = -1, s = -1, ms = -1;
    char tail = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "%d:%d:%d:%d%c", &h, &m, &s, &ms, &tail), 5) << line;
    EXPECT_EQ(tail, '\t');
    EXPECT_TRUE(h >= 0 && h < 24 && m >= 0 && m < 60 && s >= 0 && s < 61 && ms >= 0 && ms < 1000) << line;
}

} // namespace
