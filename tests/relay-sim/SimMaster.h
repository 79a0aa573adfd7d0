#pragma once

// Our master, set up as the monitor sets it up, on the simulator's line.

#include "DeviceLink.h"
#include "support/Bytes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using RegisterValues = std::array<uint16_t, 46>;
using testing_support::HexText;
using testing_support::WithCrc;

struct SimMaster {
    explicit SimMaster(const std::string& path, int32_t baud = 38400, uint8_t address = 1,
                       ExchangeJournal* journal = nullptr)
        : link({.portName = path, .speed = baud, .address = address}, journal)
    {
    }

    std::optional<RegisterValues> Read()
    {
        RegisterValues values{};
        if (!device.ReadHoldingRegisters(values.data(), 0, 46))
            return std::nullopt;
        return values;
    }

    // The log lines without their time stamps.
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> bodies;
        for (const auto& line : log.Lines())
            bodies.push_back(line.substr(line.find('\t') + 1));
        return bodies;
    }

    std::string LastLine() const
    {
        const auto lines = Lines();
        return lines.empty() ? std::string() : lines.back();
    }

    DeviceLink link;
    Transport& port = link.Port();
    ExchangeLog& log = link.Log();
    TModBusDevice& device = link.Master();
    const bool opened = port.IsOpen();
};

// The whole function-3 reply a relay at `address` sends for registers 0..45.
inline std::vector<uint8_t> ReadReply(uint8_t address, const RegisterValues& values)
{
    std::vector<uint8_t> frame{address, 0x03, 92};
    for (uint16_t v : values) {
        frame.push_back(static_cast<uint8_t>(v >> 8));
        frame.push_back(static_cast<uint8_t>(v & 0xFF));
    }
    return WithCrc(frame);
}

// The register numbers and values of --print-registers; nullopt unless all
// 46 registers are there, in order.
inline std::optional<RegisterValues> ParsePrintedRegisters(const std::string& text)
{
    RegisterValues values{};
    std::istringstream lines(text);
    std::string line;
    std::size_t count = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        unsigned r = 0;
        unsigned value = 0;
        if (!(fields >> r >> value) || r != count || value > 0xFFFF)
            return std::nullopt;
        values[count++] = static_cast<uint16_t>(value);
    }
    if (count != values.size())
        return std::nullopt;
    return values;
}
