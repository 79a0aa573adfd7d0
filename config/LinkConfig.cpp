#include "LinkConfig.h"

#include "Cp1251.h"
#include "TIniFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
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

namespace {

// on/off and their usual spellings, in any case; none for anything else.
std::optional<bool> Switch(std::string word)
{
    for (char& c : word)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* on : {"on", "yes", "true", "1"})
        if (word == on)
            return true;
    for (const char* off : {"off", "no", "false", "0"})
        if (word == off)
            return false;
    return std::nullopt;
}

// What makes a prefix no topic to publish to: a wildcard, a NUL or a
// control character (which brokers refuse), or bytes that are not UTF-8.
std::string TopicProblem(const std::string& topic)
{
    if (topic.find_first_of(std::string("+#\0", 3)) != std::string::npos)
        return "содержит «+», «#» или NUL";
    for (std::size_t i = 0; i < topic.size();) {
        const auto byte = static_cast<unsigned char>(topic[i]);
        const std::size_t length = byte < 0x80 ? 1 : (byte & 0xE0) == 0xC0 ? 2 : (byte & 0xF0) == 0xE0 ? 3
                                                   : (byte & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > topic.size())
            return "не UTF-8";
        char32_t c = length == 1 ? byte : byte & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(topic[i + k]);
            if ((next & 0xC0) != 0x80)
                return "не UTF-8";
            c = (c << 6) | (next & 0x3F);
        }
        if ((length == 2 && c < 0x80) || (length == 3 && c < 0x800) || (length == 4 && c < 0x10000) || c > 0x10FFFF
            || (c >= 0xD800 && c <= 0xDFFF))
            return "не UTF-8";
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            return "содержит управляющий символ";
        i += length;
    }
    return topic.size() > 60000 ? "слишком длинный" : "";
}

} // namespace

std::optional<MqttSettings> ReadMqttSettings(const TIniFile& ini, const std::string& hostName,
                                             const std::string& program, std::string* problem)
{
    const char* const kSection = kMqttSection;
    MqttSettings s;
    s.host = Cp1251ToUtf8(ini.ReadString(kSection, "HOST", ""));
    if (s.host.empty())
        return std::nullopt;
    // A setting that is not what it should be turns publishing off: never
    // a connection less safe than the one configured.
    const auto refuse = [&](const std::string& why) {
        if (problem)
            *problem = why + "; публикация выключена";
        return std::nullopt;
    };
    const std::string tls = ini.ReadString(kSection, "TLS", "off");
    const std::optional<bool> tlsOn = Switch(tls);
    if (!tlsOn)
        return refuse("TLS=" + Cp1251ToUtf8(tls) + ": ожидается on или off");
    s.tls = *tlsOn;
    s.port = ini.ReadInteger(kSection, "PORT", s.tls ? 8883 : 1883);
    s.caFile = Cp1251ToUtf8(ini.ReadString(kSection, "CAFILE", ""));
    s.username = Cp1251ToUtf8(ini.ReadString(kSection, "USERNAME", ""));
    const std::string passwordFile = Cp1251ToUtf8(ini.ReadString(kSection, "PASSWORDFILE", ""));
    if (!passwordFile.empty()) {
        errno = 0;
        std::ifstream in(passwordFile);
        if (!in)
            return refuse("файл пароля " + passwordFile + " не читается: " + std::strerror(errno ? errno : EIO));
        std::getline(in, s.password);
        if (!s.password.empty() && s.password.back() == '\r')
            s.password.pop_back();
    }
    const std::string topic = ini.ReadString(kSection, "TOPIC", "");
    s.prefix = Cp1251ToUtf8(topic);
    if (const std::string why = TopicProblem(s.prefix); !why.empty())
        return refuse("TOPIC " + why);
    if (s.prefix.empty())
        s.prefix = "zaritmon/" + hostName;
    while (!s.prefix.empty() && s.prefix.back() == '/')
        s.prefix.pop_back();
    s.clientId = Cp1251ToUtf8(ini.ReadString(kSection, "CLIENTID", ""));
    if (s.clientId.empty())
        s.clientId = program + "-" + hostName;
    // Announcing is no matter of safety: a word it does not know leaves the
    // rest of publishing as configured.
    const std::string given = ini.ReadString(kSection, "DISCOVERY", "");
    std::string discovery = given;
    std::transform(discovery.begin(), discovery.end(), discovery.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    s.homeAssistant = discovery == "homeassistant";
    if (!discovery.empty() && !s.homeAssistant && problem)
        *problem = "DISCOVERY=" + Cp1251ToUtf8(given)
                   + ": ожидается homeassistant или пусто; Home Assistant не получает объявлений";
    return s;
}
