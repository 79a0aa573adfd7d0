#pragma once

// Home Assistant's MQTT discovery: each relay a device, its currents sensors
// and its LEDs and inputs binary sensors, all read from the relay's retained
// state by templates, so that nothing is published twice. The configs are
// retained: Home Assistant finds them whenever it starts.

#include "MqttClient.h"
#include "MqttSettings.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace homeassistant {

// Where Home Assistant says "online" when it (re)starts.
inline constexpr const char* kStatusTopic = "homeassistant/status";

// Only [a-zA-Z0-9_-] in an object id; anything else becomes "_".
std::string Sanitised(std::string_view text);

struct Relay {
    uint8_t address = 1;
    std::string name;  // UTF-8
};

struct Config {
    std::string topic;    // homeassistant/<component>/<object id>/config
    std::string payload;  // JSON
};
// One relay's entities. node: the station's part of every id (Sanitised
// client id); prefix: its topics'; software: its name and version.
std::vector<Config> RelayConfigs(const std::string& node, const std::string& prefix, const std::string& software,
                                 const Relay& relay);

// Announces the line's relays, and takes back those announced earlier that
// are no longer on it: an empty retained config removes an entity. Which
// were announced is kept in a small file beside the event files. Subscribing
// to our own configs on connecting would need no file, but nothing in MQTT
// says when the retained ones are all in: a relay whose config came late
// would stay in Home Assistant for good.
class Announcer {
public:
    using Say = std::function<void(const std::string&)>;  // UTF-8

    // folder: where the record is; none: a relay taken off the line stays
    // announced (told once here).
    Announcer(const MqttSettings& settings, std::string software, std::vector<Relay> relays,
              std::optional<std::filesystem::path> folder, Say say);

    // Every config, and every removal still owed: on each connection and
    // whenever Home Assistant says "online".
    void Announce(MqttClient& client);
    // False when the acknowledgement is not of an announcement.
    bool Acknowledged(const MqttClient::Acknowledgement& ack);

    std::filesystem::path RecordFile() const { return *folder_ / "ZaritMon-homeassistant.txt"; }

private:
    using Announced = std::pair<std::string, int>;  // node and address: what makes a relay's ids

    void Load();
    void Save();

    std::string node_;
    std::string prefix_;
    std::string software_;
    std::vector<Relay> relays_;
    std::optional<std::filesystem::path> folder_;
    Say say_;
    std::set<Announced> onFile_;
    std::set<Announced> gone_;  // announced earlier, no longer on the line
    struct Sent {
        std::string topic;
        std::optional<Announced> removing;
    };
    std::map<int, Sent> sent_;            // by message id, until acknowledged
    std::map<Announced, std::size_t> owed_;  // a gone relay's removals not yet acknowledged
    std::set<std::string> refused_;          // told, until one of them is taken
    std::string saveError_;
};

} // namespace homeassistant
