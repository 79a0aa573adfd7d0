#include "LinkConfig.h"

#include "TIniFile.h"

LinkConfig ReadLinkConfig(const TIniFile& ini)
{
    const LinkConfig defaults;
    LinkConfig c;
    c.port = ini.ReadString(kConfigSection, "PORT", defaults.port);
    c.speed = ini.ReadInteger(kConfigSection, "SPEED", defaults.speed);
    c.responseTimeout = ini.ReadInteger(kConfigSection, "RESPONSETIMEOUT", defaults.responseTimeout);
    c.netAddress = ini.ReadInteger(kConfigSection, "NETADDRESS", defaults.netAddress);
    c.refreshInterval = ini.ReadInteger(kConfigSection, "REFRESHINTERVAL", defaults.refreshInterval);
    return c;
}

LogConfig ReadLogConfig(const TIniFile& ini)
{
    const LogConfig defaults;
    LogConfig c;
    c.journalDir = ini.ReadString(kConfigSection, "JOURNALDIR", defaults.journalDir);
    c.memoLines = ini.ReadInteger(kConfigSection, "MEMOLINES", defaults.memoLines);
    if (c.memoLines < 1)
        c.memoLines = defaults.memoLines;
    return c;
}
