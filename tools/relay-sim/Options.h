#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace relaysim {

// Which replies a fault hits: none, a random share of them, or exactly every
// N-th one (the deterministic form, for tests).
struct FaultRate {
    enum class Kind { Never, Share, EveryNth };
    Kind kind = Kind::Never;
    double share = 0;    // Share: in (0, 1]
    unsigned every = 0;  // EveryNth: N >= 1

    bool operator==(const FaultRate&) const = default;
};

struct FaultOptions {
    FaultRate drop;
    FaultRate badCrc;
    FaultRate stray;
    FaultRate late;
    unsigned lateMs = 0;
    FaultRate exception;
    uint8_t exceptionCode = 0;
    uint32_t seed = 1;
};

// Where --tcp listens: a loopback address and a port (0: any free one).
struct TcpAddress {
    std::string host;  // numeric: 127.0.0.1 or ::1
    uint16_t port = 0;

    bool operator==(const TcpAddress&) const = default;
};

// Most relays a line carries: the RS-485 limit of unit loads.
constexpr std::size_t kMaxUnits = 32;

// One relay of the line as it is set up: the values for every relay, with
// the ones given under its ADDRESS: over them.
struct UnitOptions {
    uint8_t address = 1;
    uint16_t loadCentiamps = 250;
    FaultOptions faults;  // its seed drives its noise too
    std::optional<std::chrono::milliseconds> faultAt;
    std::vector<std::pair<uint16_t, uint16_t>> setpoints;  // register, value
};

struct Options {
    std::string linkPath;
    std::optional<TcpAddress> tcp;  // set: a TCP port instead of a pseudo-terminal
    uint8_t address = 1;
    std::vector<uint8_t> unitAddresses;  // --units; empty: the one relay at `address`
    uint32_t speed = 9600;
    uint16_t loadCentiamps = 250;
    double noisePercent = 1.0;
    std::optional<std::chrono::milliseconds> faultAt;  // of the first relay
    uint16_t faultCentiamps = 1000;
    std::chrono::milliseconds inputHold{2000};
    std::vector<std::pair<uint16_t, uint16_t>> setpoints;  // register, value
    bool printRegisters = false;
    bool echo = false;  // every request written back before its reply, as an RS-485 adapter may
    bool verbose = false;
    bool help = false;
    FaultOptions faults;
    // Filled in by ParseOptions: the relays played, in the order of --units.
    std::vector<UnitOptions> units;
};

// Exactly one of the two is set.
struct ParseResult {
    std::optional<Options> options;
    std::string error;
};

// args excludes the program name.
ParseResult ParseOptions(std::span<const std::string_view> args, std::string defaultLinkPath);

// tmpDir is $TMPDIR, possibly null or empty.
std::string DefaultLinkPath(const char* tmpDir);

std::string HelpText(const std::string& defaultLinkPath);

// Register 44's code for a line speed; nullopt for a speed the relay lacks.
std::optional<uint16_t> SpeedCode(uint32_t bitsPerSecond);

// "REG=VALUE" of --set and of the s key: a setpoint register 6..42 and its
// value 0..65535.
std::optional<std::pair<uint16_t, uint16_t>> ParseSetpointAssignment(std::string_view text);

} // namespace relaysim
