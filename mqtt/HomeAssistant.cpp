#include "HomeAssistant.h"

#include "LineOverview.h"
#include "MqttPayloads.h"
#include "RecordFile.h"
#include "RelayRegisters.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace homeassistant {

namespace {

namespace fs = std::filesystem;

constexpr const char* kRecordHeader = "zaritmon-homeassistant 1";

// Text for a single-quoted string of a template (Jinja).
std::string Quoted(std::string_view text)
{
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

struct Entity {
    const char* component;
    std::string key;  // the object id's last part
    std::string name;
    std::string value;  // the value template
    bool current;
};

// Every entity of a relay, from the state's own members: a template can
// never ask for one the state does not have.
std::vector<Entity> Entities()
{
    std::vector<Entity> entities;
    for (const StateCurrent& c : kStateCurrents) {
        std::string key;
        for (const char* p = c.member; *p; ++p)
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        // null before the relay's first answer renders None: unknown.
        entities.push_back({"sensor", key, c.caption, "{{ value_json[" + Quoted(c.member) + "] }}", true});
    }
    int leds = 0, inputs = 0;
    for (const Indicator& indicator : kIndicators) {
        const std::string group = "value_json[" + Quoted(StateGroup(indicator)) + "]";
        const std::string key = indicator.IsLed() ? "led" + std::to_string(++leds) : "input" + std::to_string(++inputs);
        entities.push_back({"binary_sensor", key, indicator.caption,
                            "{{ 'None' if " + group + " is none else ('ON' if " + group + "[" + Quoted(indicator.caption)
                                + "] else 'OFF') }}",
                            false});
    }
    return entities;
}

std::string ObjectId(const std::string& node, int address, const std::string& key)
{
    return node + "_" + std::to_string(address) + "_" + key;
}

std::string Topic(const Entity& entity, const std::string& node, int address)
{
    return std::string("homeassistant/") + entity.component + "/" + ObjectId(node, address, entity.key) + "/config";
}

std::string Member(const char* name, const std::string& value)
{
    return JsonString(name) + ":" + JsonString(value);
}

} // namespace

std::string Sanitised(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-')
            c = '_';
    return out;
}

std::vector<Config> RelayConfigs(const std::string& node, const std::string& prefix, const std::string& software,
                                 const Relay& relay)
{
    const std::string device = "{\"identifiers\":[" + JsonString(node + "_" + std::to_string(relay.address)) + "],"
                               + Member("name", RelayCaption(relay.name, relay.address)) + ","
                               + Member("model", "реле МТЗ") + "," + Member("manufacturer", "Zarit") + ","
                               + Member("sw_version", software) + "}";
    std::vector<Config> configs;
    for (const Entity& e : Entities()) {
        std::string json = "{" + Member("name", e.name) + "," + Member("unique_id", ObjectId(node, relay.address, e.key))
                           + "," + Member("state_topic", prefix + "/" + std::to_string(relay.address) + "/state") + ","
                           + Member("value_template", e.value) + ",";
        json += e.current ? Member("unit_of_measurement", "A") + "," + Member("device_class", "current") + ","
                                + Member("state_class", "measurement") + ","
                          : Member("payload_on", "ON") + "," + Member("payload_off", "OFF") + ",";
        json += Member("availability_topic", prefix + "/status") + "," + Member("payload_available", "online") + ","
                + Member("payload_not_available", "offline") + ",\"device\":" + device + "}";
        configs.push_back({Topic(e, node, relay.address), std::move(json)});
    }
    return configs;
}

Announcer::Announcer(const MqttSettings& settings, std::string software, std::vector<Relay> relays,
                     std::optional<fs::path> folder, Say say)
    : node_(Sanitised(settings.clientId)), prefix_(settings.prefix), software_(std::move(software)),
      relays_(std::move(relays)), folder_(std::move(folder)), say_(std::move(say))
{
    if (!folder_) {
        say_("Home Assistant: без JOURNALDIR реле, убранное из [Relays], остаётся в Home Assistant");
        return;
    }
    Load();
    std::set<Announced> now;
    for (const Relay& relay : relays_)
        now.insert({node_, relay.address});
    for (const Announced& earlier : onFile_)
        if (!now.count(earlier))
            gone_.insert(earlier);
    // On file before anything is announced: a stop at any moment leaves
    // every relay that may be at the broker in the record.
    Save();
}

void Announcer::Load()
{
    std::error_code error;
    if (!fs::exists(RecordFile(), error))
        return;
    const auto unreadable = [&](const std::string& why) {
        say_("Home Assistant: не прочитано, какие реле объявлены: " + RecordFile().string() + ": " + why
             + "; реле, убранные из [Relays], остаются в Home Assistant");
    };
    errno = 0;
    std::ifstream in(RecordFile());
    if (!in)
        return unreadable(std::strerror(errno ? errno : EIO));
    std::string line;
    if (!std::getline(in, line) || line != kRecordHeader)
        return unreadable("не тот формат");
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Announced relay;
        if (fields >> relay.first >> relay.second && relay.first == Sanitised(relay.first) && relay.second >= 1
            && relay.second <= 247)
            onFile_.insert(relay);
    }
}

void Announcer::Save()
{
    std::set<Announced> record = gone_;
    for (const Relay& relay : relays_)
        record.insert({node_, relay.address});
    if (record == onFile_)
        return;
    std::string text = std::string(kRecordHeader) + "\n";
    for (const auto& [node, address] : record)
        text += node + " " + std::to_string(address) + "\n";
    const std::string why = WriteRecord(RecordFile(), text);
    if (why.empty()) {
        onFile_ = std::move(record);
        saveError_.clear();
    } else if (why != saveError_) {
        saveError_ = why;
        say_("Home Assistant: не записано, какие реле объявлены: " + RecordFile().string() + ": " + why);
    }
}

void Announcer::Announce(MqttClient& client)
{
    // What was in flight before is no longer awaited: all is sent afresh.
    sent_.clear();
    owed_.clear();
    for (const Relay& relay : relays_)
        for (Config& config : RelayConfigs(node_, prefix_, software_, relay)) {
            const int mid = client.Publish(config.topic, config.payload, 1, true);
            if (mid >= 0)
                sent_[mid] = {std::move(config.topic), std::nullopt};
        }
    const std::vector<Entity> entities = Entities();
    for (const Announced& relay : gone_)
        for (const Entity& entity : entities) {
            std::string topic = Topic(entity, relay.first, relay.second);
            // One not sent is owed until the next time.
            ++owed_[relay];
            const int mid = client.Publish(topic, std::string(), 1, true);
            if (mid >= 0)
                sent_[mid] = {std::move(topic), relay};
        }
}

bool Announcer::Acknowledged(const MqttClient::Acknowledgement& ack)
{
    const auto sent = sent_.find(ack.mid);
    if (sent == sent_.end())
        return false;
    if (ack.Refused()) {
        if (refused_.insert(sent->second.topic).second)
            say_("Home Assistant: брокер отклонил " + sent->second.topic + ": " + MqttClient::ReasonText(ack.reason));
        sent_.erase(sent);
        return true;
    }
    refused_.erase(sent->second.topic);
    if (const std::optional<Announced> relay = sent->second.removing; relay && --owed_[*relay] == 0) {
        owed_.erase(*relay);
        gone_.erase(*relay);
        say_("Home Assistant: объявления " + relay->first + " адреса " + std::to_string(relay->second) + " сняты");
        Save();
    }
    sent_.erase(sent);
    return true;
}

} // namespace homeassistant
