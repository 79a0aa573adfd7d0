#include "LinkConfig.h"

#include "Cp1251.h"
#include "TIniFile.h"

#include <algorithm>
#include <cctype>

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

LinkSettings ToLinkSettings(const LinkConfig& config)
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
