#pragma once

#include "CommSettings.h"
#include "DeviceLink.h"
#include "MqttSettings.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TIniFile;

// The link's settings from section "Config" of the configuration file, as
// the file holds them; ToLinkSettings makes the LinkSettings a link is built
// from, and the dialog shows and hands back texts (CommSettings).
struct LinkConfig {
    std::string port = "COM1";
    int32_t speed = 9600;
    int32_t responseTimeout = 1000;  // ms, the port's total read timeout
    int32_t netAddress = 1;          // only the low 8 bits reach the wire
    int32_t refreshInterval = 1000;  // ms between two polls
    std::string echo = "auto";       // auto, on or off: the line's echo of each request
    std::string rs485 = "off";       // off, rts or rts-inverted: RTS high (low) while sending
    int32_t rs485DelayBefore = 0;    // ms between raising RTS and the first byte
    int32_t rs485DelayAfter = 0;     // ms between the last byte and dropping RTS

    uint8_t SlaveAddress() const { return static_cast<uint8_t>(netAddress & 0xFF); }
};

// Where the exchange journal goes and how much of the log the memo shows,
// from the same section; the settings dialog leaves both alone.
struct LogConfig {
    std::string journalDir = "journal";  // beside the configuration file when relative; empty: no journal
    int32_t memoLines = 20000;           // at most this many lines in the log memo
};

inline constexpr const char* kConfigFileName = "./ZaritMon.ini";
inline constexpr const char* kConfigSection = "Config";

// One relay on the line: its address, and the name section "Relays" gives
// it (Windows-1251 as in the file; may be empty).
struct RelayEntry {
    uint8_t address = 1;
    std::string name;
};

// The relays of the line: section "Relays", one "address=name" line each,
// in the file's order, and the one NETADDRESS names, added when the section
// leaves it out. Without the section, that relay alone.
struct RelayList {
    static constexpr std::size_t kMaxRelays = 32;  // unit loads of one RS-485 segment

    std::vector<RelayEntry> relays;
    std::size_t shown = 0;              // NETADDRESS's relay, shown at start
    std::vector<std::string> problems;  // a line that was skipped, and why (UTF-8)
};
inline constexpr const char* kRelaysSection = "Relays";

RelayList ReadRelayList(const TIniFile& ini, uint8_t netAddress);

// The addresses the poll thread goes round: none for a single relay, which
// is then polled at NETADDRESS as it always was.
std::vector<uint8_t> PolledAddresses(const RelayList& list);

// Reads the five keys in the order PORT, SPEED, RESPONSETIMEOUT, NETADDRESS,
// REFRESHINTERVAL, each with its default, then ECHO, RS485,
// RS485DELAYBEFORE and RS485DELAYAFTER.
LinkConfig ReadLinkConfig(const TIniFile& ini);

// JOURNALDIR and MEMOLINES; a MEMOLINES below 1 takes the default.
LogConfig ReadLogConfig(const TIniFile& ini);

// The link's settings from the configuration (the port name as the file
// has it, in Windows-1251). An ECHO other than on or off, in any case, is
// auto. An RS485 word it does not know leaves RTS alone, as off does, with
// the reason in *problem (UTF-8).
LinkSettings ToLinkSettings(const LinkConfig& config, std::string* problem = nullptr);

// What the settings dialog shows from the file: SPEED and REFRESHINTERVAL as
// numbers (defaults 9600 and 1000), RESPONSETIMEOUT as text (default
// "1000"); the port is not the file's.
CommSettings ReadCommSettings(const TIniFile& ini);
// Writes PORT, SPEED, RESPONSETIMEOUT and REFRESHINTERVAL in this order,
// each as its text in Windows-1251, unchecked. False when the file could
// not be written (every key is tried).
bool WriteCommSettings(const TIniFile& ini, const CommSettings& chosen);

// Section "MQTT": none when HOST is empty (publishing off, the default). The
// password is the first line of the file PASSWORDFILE names. A TLS other
// than on/off (yes/no, true/false, 1/0), a password file that cannot be
// read or a TOPIC no broker takes (a wildcard, a NUL, a control character)
// is none too, with the reason in *problem (UTF-8). hostName makes the
// default TOPIC, program and hostName the default CLIENTID. DISCOVERY is
// homeassistant (any case) or empty; another word is told in *problem and
// announces nothing, publishing otherwise as configured.
inline constexpr const char* kMqttSection = "MQTT";
std::optional<MqttSettings> ReadMqttSettings(const TIniFile& ini, const std::string& hostName,
                                             const std::string& program, std::string* problem);
