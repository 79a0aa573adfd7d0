#include "LinkConfig.h"

#include "Cp1251.h"
#include "TIniFile.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace {

// The keys of section "Config", in one place.
constexpr const char* kPort = "PORT";
constexpr const char* kSpeed = "SPEED";
constexpr const char* kResponseTimeout = "RESPONSETIMEOUT";
constexpr const char* kNetAddress = "NETADDRESS";
constexpr const char* kRefreshInterval = "REFRESHINTERVAL";
constexpr const char* kJournalDir = "JOURNALDIR";
constexpr const char* kMemoLines = "MEMOLINES";
constexpr const char* kEcho = "ECHO";
constexpr const char* kRs485 = "RS485";
constexpr const char* kRs485DelayBefore = "RS485DELAYBEFORE";
constexpr const char* kRs485DelayAfter = "RS485DELAYAFTER";

} // namespace

LinkConfig ReadLinkConfig(const TIniFile& ini)
{
    const LinkConfig defaults;
    LinkConfig c;
    c.port = ini.ReadString(kConfigSection, kPort, defaults.port);
    c.speed = ini.ReadInteger(kConfigSection, kSpeed, defaults.speed);
    c.responseTimeout = ini.ReadInteger(kConfigSection, kResponseTimeout, defaults.responseTimeout);
    c.netAddress = ini.ReadInteger(kConfigSection, kNetAddress, defaults.netAddress);
    c.refreshInterval = ini.ReadInteger(kConfigSection, kRefreshInterval, defaults.refreshInterval);
    c.echo = ini.ReadString(kConfigSection, kEcho, defaults.echo);
    c.rs485 = ini.ReadString(kConfigSection, kRs485, defaults.rs485);
    c.rs485DelayBefore = ini.ReadInteger(kConfigSection, kRs485DelayBefore, defaults.rs485DelayBefore);
    c.rs485DelayAfter = ini.ReadInteger(kConfigSection, kRs485DelayAfter, defaults.rs485DelayAfter);
    return c;
}

LogConfig ReadLogConfig(const TIniFile& ini)
{
    const LogConfig defaults;
    LogConfig c;
    c.journalDir = ini.ReadString(kConfigSection, kJournalDir, defaults.journalDir);
    c.memoLines = ini.ReadInteger(kConfigSection, kMemoLines, defaults.memoLines);
    if (c.memoLines < 1)
        c.memoLines = defaults.memoLines;
    return c;
}

LinkSettings ToLinkSettings(const LinkConfig& config, std::string* problem)
{
    LinkSettings s;
    s.portName = config.port;
    s.speed = config.speed;
    s.responseTimeoutMs = config.responseTimeout;
    s.address = config.SlaveAddress();
    s.pollIntervalMs = config.refreshInterval;
    std::string echo = config.echo;
    std::transform(echo.begin(), echo.end(), echo.begin(), [](unsigned char c) { return std::tolower(c); });
    s.echo = echo == "on"    ? TModBusDevice::EchoMode::On
             : echo == "off" ? TModBusDevice::EchoMode::Off
                             : TModBusDevice::EchoMode::Auto;
    std::string why;
    if (const std::optional<Rs485Mode> mode = ParseRs485Mode(config.rs485, &why))
        s.rs485 = *mode;
    else if (problem)
        *problem = std::string(kRs485) + "=" + Cp1251ToUtf8(config.rs485) + ": " + why;
    s.rs485DelayBeforeMs = config.rs485DelayBefore;
    s.rs485DelayAfterMs = config.rs485DelayAfter;
    return s;
}

CommSettings ReadCommSettings(const TIniFile& ini)
{
    const LinkConfig defaults;
    CommSettings s;
    s.speed = std::to_string(ini.ReadInteger(kConfigSection, kSpeed, defaults.speed));
    s.timeout = Cp1251ToUtf8(ini.ReadString(kConfigSection, kResponseTimeout, std::to_string(defaults.responseTimeout)));
    s.interval = std::to_string(ini.ReadInteger(kConfigSection, kRefreshInterval, defaults.refreshInterval));
    return s;
}

bool WriteCommSettings(const TIniFile& ini, const CommSettings& chosen)
{
    auto write = [&](const char* key, const std::string& text) {
        return ini.WriteString(kConfigSection, key, Utf8ToCp1251(text));
    };
    bool ok = write(kPort, chosen.port);
    ok = write(kSpeed, chosen.speed) && ok;
    ok = write(kResponseTimeout, chosen.timeout) && ok;
    ok = write(kRefreshInterval, chosen.interval) && ok;
    return ok;
}

RelayList ReadRelayList(const TIniFile& ini, uint8_t netAddress)
{
    RelayList list;
    struct Listed {
        RelayEntry relay;
        const TIniFile::SectionLine* line;
    };
    const auto lines = ini.ReadSectionLines(kRelaysSection);
    const auto problem = [&](const TIniFile::SectionLine& line, const std::string& why) {
        list.problems.push_back("[" + std::string(kRelaysSection) + "], строка " + std::to_string(line.number) + " «"
                                + Cp1251ToUtf8(line.text) + "»: " + why);
    };
    std::vector<Listed> listed;
    for (const auto& line : lines) {
        int32_t address = 0;
        if (!line.isKey) {
            problem(line, "нет адреса и знака «=» перед именем");
            continue;
        }
        if (!ParseInt32(line.name, address) || address < 1 || address > 247) {
            problem(line, "адрес не число от 1 до 247");
            continue;
        }
        // The same address twice is one relay, under its first name.
        if (std::any_of(listed.begin(), listed.end(), [&](const Listed& l) { return l.relay.address == address; }))
            continue;
        listed.push_back({{static_cast<uint8_t>(address), line.value}, &line});
    }
    const bool netListed =
        std::any_of(listed.begin(), listed.end(), [&](const Listed& l) { return l.relay.address == netAddress; });
    // NETADDRESS's relay always has its place; the others take the rest in
    // the file's order.
    std::size_t others = 0;
    for (const Listed& l : listed) {
        if (l.relay.address != netAddress) {
            if (others == RelayList::kMaxRelays - 1) {
                problem(*l.line, "больше " + std::to_string(RelayList::kMaxRelays) + " реле на одной линии");
                continue;
            }
            ++others;
        }
        list.relays.push_back(l.relay);
    }
    if (!netListed)
        list.relays.push_back({netAddress, ""});
    list.shown = static_cast<std::size_t>(
        std::find_if(list.relays.begin(), list.relays.end(), [&](const RelayEntry& r) { return r.address == netAddress; })
        - list.relays.begin());
    return list;
}

std::vector<uint8_t> PolledAddresses(const RelayList& list)
{
    std::vector<uint8_t> addresses;
    if (list.relays.size() > 1)
        for (const RelayEntry& relay : list.relays)
            addresses.push_back(relay.address);
    return addresses;
}

std::optional<MqttSettings> ReadMqttSettings(const TIniFile& ini, const std::string& hostName, std::string* problem)
{
    const char* const kSection = kMqttSection;
    MqttSettings s;
    s.host = Cp1251ToUtf8(ini.ReadString(kSection, "HOST", ""));
    if (s.host.empty())
        return std::nullopt;
    std::string tls = ini.ReadString(kSection, "TLS", "off");
    for (char& c : tls)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.tls = tls == "on";
    s.port = ini.ReadInteger(kSection, "PORT", s.tls ? 8883 : 1883);
    s.caFile = Cp1251ToUtf8(ini.ReadString(kSection, "CAFILE", ""));
    s.username = Cp1251ToUtf8(ini.ReadString(kSection, "USERNAME", ""));
    const std::string passwordFile = Cp1251ToUtf8(ini.ReadString(kSection, "PASSWORDFILE", ""));
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile);
        if (!std::getline(in, s.password) && problem)
            *problem = "файл пароля " + passwordFile + " не прочитан";
        if (!s.password.empty() && s.password.back() == '\r')
            s.password.pop_back();
    }
    s.prefix = Cp1251ToUtf8(ini.ReadString(kSection, "TOPIC", ""));
    if (s.prefix.empty())
        s.prefix = "zaritmon/" + hostName;
    while (!s.prefix.empty() && s.prefix.back() == '/')
        s.prefix.pop_back();
    s.clientId = Cp1251ToUtf8(ini.ReadString(kSection, "CLIENTID", ""));
    if (s.clientId.empty())
        s.clientId = "zaritmon-" + hostName;
    return s;
}
