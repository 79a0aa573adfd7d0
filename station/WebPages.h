#pragma once

// What the station's web server says, as pure functions: its settings, the
// line as JSON for the page, the events and trends the page asks for, and
// the metrics for Prometheus. No I/O.

#include "TDeviceControl.h"
#include "TrendHistory.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

class TIniFile;

namespace web {

// Section "Web". LISTEN empty: no web server.
struct Settings {
    std::string listen;        // "127.0.0.1:8080"
    std::string certFile;      // with keyFile: HTTPS
    std::string keyFile;
    std::string passwordFile;  // digest users ("user:realm:hash", as htdigest writes)
};
inline constexpr const char* kSection = "Web";
// The realm the password file's lines must name.
inline constexpr const char* kRealm = "zaritmon";

// The section, checked: a LISTEN that is no numeric IPv4 "host:port", one
// beyond the loopback without a password file, a certificate without its
// key (or the other way round), or a file that cannot be read turns the web
// off (listen left empty) with the reason in problems.
Settings ReadSettings(const TIniFile& ini, std::vector<std::string>& problems);

// One relay as the station saw it at its last tick.
struct RelayView {
    uint8_t address = 1;
    std::string name;            // UTF-8; may be empty
    std::string caption;         // "Фидер 2 (адрес 2)"
    std::vector<uint16_t> registers;  // the last answered poll's; empty before one
    PollStats stats;
};

// The line and the station at one tick.
struct LineView {
    std::chrono::system_clock::time_point at{};
    std::string port;
    std::string portProblem;  // empty while the port is open
    std::vector<RelayView> relays;
    // The station's own, when configured.
    std::optional<bool> mqttConnected;
    std::optional<uint64_t> eventsUndelivered;
    std::optional<uint64_t> gatewayClients;
    std::optional<uint64_t> gatewayRequests;
};

// The page's line: the station, the indicators' captions and colours, the
// kinds of events, and each relay's state with its overview row.
std::string LineJson(const LineView& line, const std::string& station, const std::string& host);
// A relay's decoded setpoints, or none for a relay not on the line.
std::optional<std::string> SetpointsReply(const LineView& line, uint8_t address);

// An event as the page lists it.
struct StoredEvent {
    uint8_t address = 0;  // 0: the whole line's
    std::string kind;     // EventKindText
    std::string json;
};
struct EventFilter {
    std::optional<uint8_t> address;  // 0: the whole line's only
    std::string kind;                // empty: every kind
    uint64_t page = 0;               // 0: the newest
};
inline constexpr std::size_t kEventsPage = 50;
// Newest first, filtered and paged; events is oldest first.
std::string EventsJson(const std::deque<StoredEvent>& events, const EventFilter& filter);

// [from, to] of a relay's trend in at most points spans, in amperes.
std::string TrendJson(const TrendHistory& history, uint8_t address, int64_t nowMs, int64_t fromMs, int64_t toMs,
                      int points);

// OpenMetrics text: each relay's values and counts, and the station's.
std::string MetricsText(const LineView& line, std::chrono::system_clock::time_point now);
inline constexpr const char* kMetricsType = "application/openmetrics-text; version=1.0.0; charset=utf-8";

// A whole decimal number within [low, high]; none for anything else.
std::optional<int64_t> ParseNumber(const std::string& text, int64_t low, int64_t high);

} // namespace web
