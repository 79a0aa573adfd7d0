#include "WebPages.h"

#include "Event.h"
#include "GatewayProtocol.h"
#include "LineOverview.h"
#include "LinkHealth.h"
#include "LocalTime.h"
#include "MqttPayloads.h"
#include "RelayRegisters.h"
#include "TIniFile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace web {

namespace {

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool Readable(const std::string& path)
{
    return std::ifstream(path, std::ios::binary).good();
}

RegisterImage ImageOf(const RelayView& relay)
{
    RegisterImage image(static_cast<uint16_t>(std::max<std::size_t>(relay.registers.size(), relay::kLastTrip + 1)));
    std::vector<uint16_t> values(image.Count(), 0);
    std::copy(relay.registers.begin(), relay.registers.end(), values.begin());
    image.Store(values.data());
    return image;
}

// The register of the last answered poll; 0 before one.
uint16_t Register(const RelayView& relay, int reg)
{
    return static_cast<std::size_t>(reg) < relay.registers.size() ? relay.registers[static_cast<std::size_t>(reg)] : 0;
}

// "12.34": the page and the metrics take amperes as JSON and OpenMetrics numbers.
std::string Amperes(uint16_t centiamps)
{
    return FormatMeasuredCurrent(centiamps, ".");
}

// A label value of OpenMetrics: backslash, quote and line end escaped.
std::string Label(const std::string& value)
{
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

Settings ReadSettings(const TIniFile& ini, std::vector<std::string>& problems)
{
    Settings s;
    s.listen = Trimmed(ini.ReadString(kSection, "LISTEN", ""));
    s.certFile = Trimmed(ini.ReadString(kSection, "CERTFILE", ""));
    s.keyFile = Trimmed(ini.ReadString(kSection, "KEYFILE", ""));
    s.passwordFile = Trimmed(ini.ReadString(kSection, "PASSWORDFILE", ""));
    if (s.listen.empty())
        return s;
    const auto off = [&](const std::string& why) {
        problems.push_back(why + "; веб-страница не открыта");
        s.listen.clear();
        return s;
    };
    std::string host, port;
    in_addr address{};
    if (!gateway::SplitListen(s.listen, host, port) || ::inet_pton(AF_INET, host.c_str(), &address) != 1
        || !ParseNumber(port, 0, 65535))
        return off("LISTEN: «" + s.listen + "» — нужен адрес IPv4 и порт (пример: 127.0.0.1:8080)");
    if (s.certFile.empty() != s.keyFile.empty())
        return off("CERTFILE и KEYFILE задаются вместе");
    for (const std::string* file : {&s.certFile, &s.keyFile, &s.passwordFile})
        if (!file->empty() && !Readable(*file))
            return off("файл «" + *file + "» не читается");
    // Anyone on the network could watch the line otherwise.
    if ((ntohl(address.s_addr) >> 24) != 127 && s.passwordFile.empty())
        return off("LISTEN " + s.listen + " открыт не только этому компьютеру, а PASSWORDFILE не задан");
    return s;
}

std::string LineJson(const LineView& line, const std::string& station, const std::string& host)
{
    std::string json = "{\"station\":" + JsonString(station) + ",\"host\":" + JsonString(host)
                       + ",\"time\":" + JsonString(FormatStamp(ToLocal(line.at))) + ",\"port\":" + JsonString(line.port)
                       + ",\"portProblem\":" + JsonString(line.portProblem) + ",\"kinds\":[";
    for (const EventKind kind : {EventKind::Trip, EventKind::Input, EventKind::Link, EventKind::Operator})
        json += std::string(kind == EventKind::Trip ? "" : ",") + JsonString(EventKindText(kind));
    json += "],\"indicators\":[";
    for (const Indicator& indicator : kIndicators)
        json += std::string(&indicator == kIndicators ? "" : ",") + "{\"caption\":" + JsonString(indicator.caption)
                + ",\"led\":" + (indicator.IsLed() ? "true" : "false")
                + ",\"green\":" + (indicator.green ? "true" : "false") + "}";
    json += "],\"relays\":[";
    for (const RelayView& relay : line.relays) {
        const RegisterImage image = ImageOf(relay);
        const OverviewRow row = MakeOverviewRow(relay.name, relay.address, image, relay.stats, ",");
        json += std::string(&relay == line.relays.data() ? "" : ",") + "{"
                + StateJson(relay.address, relay.name, image, relay.stats)
                + ",\"caption\":" + JsonString(relay.caption) + ",\"shown\":[";
        for (std::size_t i = 0; i < row.currents.size(); ++i)
            json += std::string(i ? "," : "") + JsonString(row.currents[i]);
        json += "],\"red\":[";
        for (std::size_t at = 0; at < row.redLeds.size();) {
            const std::size_t end = std::min(row.redLeds.find('\n', at), row.redLeds.size());
            json += (at ? "," : "") + JsonString(std::string_view(row.redLeds).substr(at, end - at));
            at = end + 1;
        }
        json += "],\"answering\":" + std::string(relay.stats.polls > 0 && relay.stats.lastAnswered ? "true" : "false")
                + ",\"health\":" + JsonString(LinkHealthText(relay.stats, ToLocal(relay.stats.lastAnswerAt))) + "}";
    }
    return json + "]}";
}

std::optional<std::string> SetpointsReply(const LineView& line, uint8_t address)
{
    for (const RelayView& relay : line.relays)
        if (relay.address == address)
            return "{\"time\":" + JsonString(FormatStamp(ToLocal(line.at)))
                   + ",\"answered\":" + (relay.stats.answered > 0 ? "true" : "false") + ","
                   + SetpointsJson(address, ImageOf(relay), ",") + "}";  // as the window shows them
    return std::nullopt;
}

std::string EventsJson(const std::deque<StoredEvent>& events, const EventFilter& filter)
{
    const auto wanted = [&](const StoredEvent& e) {
        return (!filter.address || e.address == *filter.address) && (filter.kind.empty() || e.kind == filter.kind);
    };
    const auto total = static_cast<uint64_t>(std::count_if(events.begin(), events.end(), wanted));
    const uint64_t skip = filter.page * kEventsPage;
    std::string items;
    uint64_t seen = 0, taken = 0;
    for (auto it = events.rbegin(); it != events.rend() && taken < kEventsPage && skip < total; ++it) {
        if (!wanted(*it) || seen++ < skip)
            continue;
        items += (taken++ ? "," : "") + it->json;
    }
    return "{\"total\":" + std::to_string(total) + ",\"page\":" + std::to_string(filter.page)
           + ",\"pageSize\":" + std::to_string(kEventsPage) + ",\"events\":[" + items + "]}";
}

std::string TrendJson(const TrendHistory& history, uint8_t address, int64_t nowMs, int64_t fromMs, int64_t toMs,
                      int points)
{
    points = std::clamp(points, 1, 2000);
    toMs = std::max(toMs, fromMs);
    const int64_t step = std::max<int64_t>(TrendHistory::kSpacingMs, (toMs - fromMs + points - 1) / points);
    std::string json = "{\"address\":" + std::to_string(address) + ",\"now\":" + std::to_string(nowMs)
                       + ",\"from\":" + std::to_string(fromMs) + ",\"to\":" + std::to_string(toMs)
                       + ",\"step\":" + std::to_string(step) + ",\"series\":[\"Ia\",\"Ib\",\"Ic\",\"3Io\"],\"spans\":[";
    bool first = true;
    for (const TrendSpan& span : history.Range(fromMs, toMs, step)) {
        json += std::string(first ? "" : ",") + "{\"ms\":" + std::to_string(span.ms)
                + ",\"lastMs\":" + std::to_string(span.lastMs);
        for (const auto* values : {&span.min, &span.max}) {
            json += values == &span.min ? ",\"min\":[" : "],\"max\":[";
            for (int s = 0; s < kSeriesCount; ++s)
                json += (s ? "," : "") + Amperes((*values)[s]);
        }
        json += "]}";
        first = false;
    }
    return json + "]}";
}

std::string MetricsText(const LineView& line, std::chrono::system_clock::time_point now)
{
    std::string out;
    const auto family = [&](const char* name, const char* type, const char* unit, const char* help) {
        out += std::string("# TYPE ") + name + " " + type + "\n";
        if (*unit)
            out += std::string("# UNIT ") + name + " " + unit + "\n";
        out += std::string("# HELP ") + name + " " + help + "\n";
    };
    const auto labels = [](const RelayView& relay) {
        return "relay=\"" + std::to_string(relay.address) + "\",name=\"" + Label(relay.name) + "\"";
    };
    family("zaritmon_current_amperes", "gauge", "amperes", "Phase and residual currents of the last answered poll.");
    for (const RelayView& relay : line.relays)
        if (relay.stats.answered > 0)
            for (std::size_t i = 0; i + 1 < std::size(kStateCurrents); ++i)
                out += "zaritmon_current_amperes{" + labels(relay) + ",current=\"" + kStateCurrents[i].member + "\"} "
                       + Amperes(Register(relay, kStateCurrents[i].reg)) + "\n";
    family("zaritmon_last_trip_current_amperes", "gauge", "amperes", "The current of the relay's last trip.");
    for (const RelayView& relay : line.relays)
        if (relay.stats.answered > 0)
            out += "zaritmon_last_trip_current_amperes{" + labels(relay) + "} "
                   + Amperes(Register(relay, relay::kLastTrip)) + "\n";
    for (const bool leds : {true, false}) {
        const char* name = leds ? "zaritmon_led" : "zaritmon_input";
        family(name, "gauge", "", leds ? "A LED of the relay: 1 lit, 0 dark." : "A discrete input: 1 on, 0 off.");
        for (const RelayView& relay : line.relays) {
            if (relay.stats.answered == 0)
                continue;
            for (const Indicator& indicator : kIndicators)
                if (indicator.IsLed() == leds)
                    out += std::string(name) + "{" + labels(relay) + "," + (leds ? "led" : "input") + "=\""
                           + Label(indicator.caption) + "\"} "
                           + (indicator.Lit(Register(relay, relay::kInputs), Register(relay, relay::kLeds)) ? "1" : "0") + "\n";
        }
    }
    const struct {
        const char* name;
        uint64_t PollStats::*count;
        const char* help;
    } counters[] = {
        {"zaritmon_polls", &PollStats::polls, "Polls of the relay."},
        {"zaritmon_answers", &PollStats::answered, "Polls the relay answered."},
        {"zaritmon_timeouts", &PollStats::timeouts, "Polls nothing came back to."},
        {"zaritmon_crc_errors", &PollStats::rejected, "Replies garbled or cut short (a bad CRC)."},
        {"zaritmon_exceptions", &PollStats::exceptions, "Polls the relay answered with an exception."},
    };
    for (const auto& counter : counters) {
        family(counter.name, "counter", "", counter.help);
        for (const RelayView& relay : line.relays)
            out += std::string(counter.name) + "_total{" + labels(relay) + "} "
                   + std::to_string(relay.stats.*counter.count) + "\n";
    }
    family("zaritmon_last_answer_age_seconds", "gauge", "seconds", "Time since the relay last answered.");
    for (const RelayView& relay : line.relays)
        if (relay.stats.answered > 0) {
            const double age =
                std::max(0.0, std::chrono::duration<double>(now - relay.stats.lastAnswerAt).count());
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", age);
            out += "zaritmon_last_answer_age_seconds{" + labels(relay) + "} " + text + "\n";
        }
    family("zaritmon_port_open", "gauge", "", "The serial port (or the line's connection) is open.");
    out += std::string("zaritmon_port_open ") + (line.portProblem.empty() ? "1" : "0") + "\n";
    if (line.mqttConnected) {
        family("zaritmon_mqtt_connected", "gauge", "", "Connected to the MQTT broker.");
        out += std::string("zaritmon_mqtt_connected ") + (*line.mqttConnected ? "1" : "0") + "\n";
    }
    if (line.eventsUndelivered) {
        family("zaritmon_mqtt_events_undelivered", "gauge", "", "Events in the files the broker has not acknowledged.");
        out += "zaritmon_mqtt_events_undelivered " + std::to_string(*line.eventsUndelivered) + "\n";
    }
    if (line.gatewayClients) {
        family("zaritmon_gateway_clients", "gauge", "", "Modbus TCP clients connected to the gateway.");
        out += "zaritmon_gateway_clients " + std::to_string(*line.gatewayClients) + "\n";
    }
    if (line.gatewayRequests) {
        family("zaritmon_gateway_requests", "counter", "", "Requests the gateway's clients sent.");
        out += "zaritmon_gateway_requests_total " + std::to_string(*line.gatewayRequests) + "\n";
    }
    return out + "# EOF\n";
}

std::optional<int64_t> ParseNumber(const std::string& text, int64_t low, int64_t high)
{
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    int64_t value = 0;
    for (std::size_t i = text[0] == '-' ? 1 : 0; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    if (text[0] == '-') {
        if (text.size() == 1)
            return std::nullopt;
        value = -value;
    }
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

} // namespace web
