#include "ExchangeLog.h"
#include "Framing.h"
#include "MbapFrame.h"
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

// A reply as the master takes it: opened by its framing, then checked.
bool Answers(modbus::Framing& framing, std::span<const uint8_t> rtuRequest, std::span<const uint8_t> reply)
{
    uint8_t unit = 0;
    std::span<const uint8_t> pdu;
    return framing.Open(reply, unit, pdu) && modbus::ReplyAnswers(rtuRequest[0], modbus::RtuPdu(rtuRequest), unit, pdu);
}

bool RtuAnswers(std::span<const uint8_t> request, std::span<const uint8_t> reply)
{
    modbus::RtuFraming rtu;
    return Answers(rtu, request, reply);
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
    const Bytes request = ToBytes(modbus::BuildReadHoldingRegisters(1, 0, 46));
    const Bytes good = GoodReply(46, 0xFF00);
    Bytes swapped = good;
    std::swap(swapped[95], swapped[96]);
    Bytes badCrc = good;
    badCrc[96] ^= 0x01;
    Bytes badData = good;
    badData[10] ^= 0x80;
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
        {"exception reply with its own good CRC", ParseHex("01 83 02 C0 F1"), false},
        {"one byte short", Bytes(good.begin(), good.end() - 1), false},
        {"one byte long", longer, false},
        {"empty", {}, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(RtuAnswers(request, row.reply), row.accepted) << row.name;
    std::vector<uint16_t> dest(46);
    modbus::DecodeRegisters(modbus::RtuPdu(good), 46, dest.data());
    for (uint16_t i = 0; i < 46; ++i)
        ASSERT_EQ(dest[i], 0xFF00 + i) << "register " << i;
}

TEST(Frames, RegisterBytesAreHighByteFirst)
{
    uint16_t value = 0;
    modbus::DecodeRegisters(ParseHex("03 02 01 02"), 1, &value);
    EXPECT_EQ(value, 258);
}

TEST(Frames, CoilAndRawReplyValidation)
{
    const Bytes request = ToBytes(modbus::BuildWriteCoil(1, 1, true));
    struct Row {
        const char* name;
        Bytes reply;
        bool coilAccepted;
        bool rawAccepted;
    };
    const Row rows[] = {
        {"echo", ParseHex("01 05 00 01 FF 00 DD FA"), true, true},
        // Another request's reply, which a relay that mixed up its replies
        // may send: the coil was not set as asked.
        {"another coil", ParseHex("01 05 00 00 FF 00 8C 3A"), false, true},
        {"the other state", ParseHex("01 05 00 01 00 00 9C 0A"), false, true},
        {"bad CRC", ParseHex("01 05 00 01 FF 00 DD FB"), false, false},
        {"exception", ParseHex("01 83 02 C0 F1"), false, true},
        {"two bytes, CRC of nothing", ParseHex("FF FF"), false, true},
        {"one byte", ParseHex("FF"), false, false},
        {"nothing", {}, false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RtuAnswers(request, row.reply), row.coilAccepted) << row.name;
        EXPECT_EQ(modbus::CheckRawReply(row.reply), row.rawAccepted) << row.name;
    }
}

// A reply that passed its framing's own check (CRC, MBAP header) answers the
// request only from the unit asked, with the function asked and, for
// function 3, the registers asked: the same verdict in both framings.
TEST(Frames, ReplyCheckIsOneForBothFramings)
{
    const Bytes poll = ToBytes(modbus::BuildReadHoldingRegisters(7, 0, 3));
    const Bytes coil = ToBytes(modbus::BuildWriteCoil(7, 2, true));
    struct Row {
        const char* name;
        const Bytes& request;
        uint8_t unit;
        Bytes pdu;
        bool answers;
    };
    const Row rows[] = {
        {"three registers", poll, 7, ParseHex("03 06 02 2B 00 00 00 64"), true},
        {"another slave's registers", poll, 8, ParseHex("03 06 02 2B 00 00 00 64"), false},
        {"another function", poll, 7, ParseHex("04 06 02 2B 00 00 00 64"), false},
        {"an exception", poll, 7, ParseHex("83 02"), false},
        {"two registers", poll, 7, ParseHex("03 04 02 2B 00 00"), false},
        {"byte count not the registers'", poll, 7, ParseHex("03 04 02 2B 00 00 00 64"), false},
        {"coil echo", coil, 7, ParseHex("05 00 02 FF 00"), true},
        {"another slave's coil echo", coil, 1, ParseHex("05 00 02 FF 00"), false},
        {"registers for a coil write", coil, 7, ParseHex("03 04 00 02 FF 00"), false},
    };
    for (const auto& row : rows) {
        Bytes rtu{row.unit};
        rtu.insert(rtu.end(), row.pdu.begin(), row.pdu.end());
        EXPECT_EQ(RtuAnswers(row.request, WithCrc(rtu)), row.answers) << "RTU: " << row.name;
        modbus::MbapFraming mbap;
        EXPECT_EQ(Answers(mbap, row.request, modbus::WrapMbap(1, row.unit, row.pdu)), row.answers) << "MBAP: " << row.name;
    }
}

// A request passed on for another master: its reply's size from the request
// alone, and none for one the line could not frame.
TEST(Frames, ReplySizeOfARequestPassedOn)
{
    const std::pair<const char*, std::optional<std::size_t>> rows[] = {
        {"01 00 00 00 0A", 4},     {"02 00 00 07 D0", 252},  {"03 00 00 00 2E", 94},
        {"04 00 00 00 7D", 252},   {"03 00 00 00 7E", {}},   {"03 00 00 00 00", {}},
        {"05 00 00 FF 00", 5},     {"06 00 07 01 F4", 5},    {"06 00 07 01", {}},
        {"0F 00 01 00 0A 02 FF 03", 5},                      {"0F 00 01 00 0A 01 FF", {}},
        {"10 00 06 00 02 04 00 01 00 02", 5},                {"10 00 06 00 02 04 00 01", {}},
        {"16 00 04 00 F2 00 25", 7},                         {"17 00 00 00 03 00 06 00 01 02 00 05", 8},
        {"2B 0E 01 00", {}},       {"", {}},
    };
    for (const auto& [request, size] : rows)
        EXPECT_EQ(modbus::ReplyPduSize(ParseHex(request)), size) << request;
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
