#include "MqttPayloads.h"

#include "Event.h"
#include "LineOverview.h"
#include "LocalTime.h"
#include "RelayRegisters.h"
#include "SetpointDecode.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

namespace {

// "12,34" or "12.34" as a JSON number; anything else (an empty field) null.
std::string Number(std::string field)
{
    for (char& c : field)
        if (c == ',')
            c = '.';
    if (field.empty() || field.find_first_not_of("0123456789.") != std::string::npos)
        return "null";
    return field;
}

// "2026-12-08 09:05:07.045", and nothing else.
bool IsStamp(const std::string& field)
{
    const std::string pattern = "dddd-dd-dd dd:dd:dd.ddd";
    if (field.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] == 'd' ? field[i] < '0' || field[i] > '9' : field[i] != pattern[i])
            return false;
    return true;
}

// An event file keeps its currents in this order too.
static_assert([] {
    for (std::size_t i = 0; i < std::size(kStateCurrents); ++i)
        if (kStateCurrents[i].reg != relay::kKeptCurrents[i])
            return false;
    return std::size(kStateCurrents) == relay::kKeptCurrents.size();
}());

constexpr EventKind kKinds[] = {EventKind::Trip, EventKind::Input, EventKind::Link, EventKind::Operator};

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == ';')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

} // namespace

std::string JsonString(std::string_view utf8)
{
    std::string out = "\"";
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string StateJson(uint8_t address, const std::string& name, const RegisterImage& image, const PollStats& stats)
{
    const bool known = stats.answered > 0;
    auto current = [&](uint16_t reg) { return known ? FormatMeasuredCurrent(image.Get(reg), ".") : std::string("null"); };
    std::string json = "\"address\":" + std::to_string(address) + ",\"name\":" + JsonString(name);
    for (const StateCurrent& c : kStateCurrents)
        json += "," + JsonString(c.member) + ":" + current(static_cast<uint16_t>(c.reg));
    const uint16_t inputs = image.Get(relay::kInputs), leds = image.Get(relay::kLeds);
    for (const bool ledsNow : {true, false}) {
        json += "," + JsonString(ledsNow ? kLedsMember : kInputsMember) + ":";
        if (!known) {
            json += "null";
            continue;
        }
        std::string members;
        for (const Indicator& indicator : kIndicators)
            if (indicator.IsLed() == ledsNow)
                members += (members.empty() ? "" : ",") + JsonString(indicator.caption) + ":"
                           + (indicator.Lit(inputs, leds) ? "true" : "false");
        json += "{" + members + "}";
    }
    const OverviewRow row = MakeOverviewRow(name, address, image, stats, ".");
    json += ",\"link\":" + JsonString(row.link) + ",\"lastAnswer\":" + JsonString(row.lastAnswer)
            + ",\"polls\":" + std::to_string(stats.polls) + ",\"answered\":" + std::to_string(stats.answered)
            + ",\"timeouts\":" + std::to_string(stats.timeouts) + ",\"rejected\":" + std::to_string(stats.rejected)
            + ",\"exceptions\":" + std::to_string(stats.exceptions);
    return json;
}

std::string WithTime(const std::string& json, std::chrono::system_clock::time_point at)
{
    return "{\"time\":" + JsonString(FormatStamp(ToLocal(at))) + "," + json + "}";
}

std::string SetpointsJson(uint8_t address, const RegisterImage& image, const std::string& decimalSeparator)
{
    std::string items;
    for (const SetpointField& field : kSetpointFields) {
        const uint16_t raw = image.Get(field.reg);
        items += (items.empty() ? "" : ",") + std::string("{\"register\":") + std::to_string(field.reg)
                 + ",\"group\":" + JsonString(field.group) + ",\"label\":" + JsonString(field.label)
                 + ",\"raw\":" + std::to_string(raw) + ",\"text\":" + JsonString(DecodeSetpoint(field, raw, decimalSeparator)) + "}";
    }
    return "\"address\":" + std::to_string(address) + ",\"setpoints\":[" + items + "]";
}

std::optional<EventMessage> EventJson(const std::string& csvLine, const std::string& id)
{
    const std::vector<std::string> f = Split(csvLine);
    // Time, kind, what, state, five currents, and the relay (files written
    // before relays were named lack it). Anything else is no event: a line
    // torn by a power cut, or glued to the next by an earlier version.
    if (f.size() < 9 || f.size() > 10 || !IsStamp(f[0])
        || std::none_of(std::begin(kKinds), std::end(kKinds), [&](EventKind k) { return f[1] == EventKindText(k); }))
        return std::nullopt;
    EventMessage message;
    const std::string relay = f.size() > 9 ? f[9] : std::string();
    // The caption ends in the address: "Фидер 2 (адрес 2)" or "адрес 5".
    const std::string label = "адрес ";
    if (const auto at = relay.rfind(label); at != std::string::npos) {
        int address = 0;
        for (std::size_t i = at + label.size(); i < relay.size() && relay[i] >= '0' && relay[i] <= '9'; ++i)
            address = address * 10 + (relay[i] - '0');
        if (address >= 1 && address <= 247)
            message.address = static_cast<uint8_t>(address);
    }
    message.json = "{\"id\":" + JsonString(id) + ",\"time\":" + JsonString(f[0]) + ",\"kind\":" + JsonString(f[1])
                   + ",\"what\":" + JsonString(f[2]) + ",\"state\":" + JsonString(f[3]);
    for (std::size_t i = 0; i < std::size(kStateCurrents); ++i)
        message.json += "," + JsonString(kStateCurrents[i].member) + ":" + Number(f[4 + i]);
    message.json += ",\"relay\":" + JsonString(relay) + "}";
    return message;
}
