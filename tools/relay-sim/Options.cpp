#include "Options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <limits>

namespace relaysim {
namespace {

constexpr uint32_t kSpeeds[] = {9600, 19200, 38400};

std::optional<uint64_t> ParseUnsigned(std::string_view text, uint64_t min, uint64_t max)
{
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<double> ParseDecimal(std::string_view text, double min, double max)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)
        || value < min || value > max)
        return std::nullopt;
    return value;
}

// Amperes with up to two decimals, as the relay's registers hold them.
std::optional<uint16_t> ParseAmps(std::string_view text)
{
    const auto amps = ParseDecimal(text, 0, 655.35);
    if (!amps)
        return std::nullopt;
    return static_cast<uint16_t>(std::lround(*amps * 100));
}

std::optional<FaultRate> ParseRate(std::string_view text)
{
    if (text.starts_with("1/")) {
        const auto n = ParseUnsigned(text.substr(2), 1, std::numeric_limits<unsigned>::max());
        if (!n)
            return std::nullopt;
        return FaultRate{FaultRate::Kind::EveryNth, 0, static_cast<unsigned>(*n)};
    }
    const auto share = ParseDecimal(text, 0, 1);
    if (!share)
        return std::nullopt;
    if (*share == 0)
        return FaultRate{};
    return FaultRate{FaultRate::Kind::Share, *share, 0};
}

// "AMOUNT[,WHICH]": WHICH defaults to every reply.
std::optional<std::pair<uint64_t, FaultRate>> ParseAmountAndRate(std::string_view text,
                                                                 uint64_t min, uint64_t max)
{
    const auto comma = text.find(',');
    const auto amount = ParseUnsigned(text.substr(0, comma), min, max);
    if (!amount)
        return std::nullopt;
    if (comma == std::string_view::npos)
        return std::pair{*amount, FaultRate{FaultRate::Kind::EveryNth, 0, 1}};
    const auto rate = ParseRate(text.substr(comma + 1));
    if (!rate)
        return std::nullopt;
    return std::pair{*amount, *rate};
}

// "1,2,5": distinct addresses, at most kMaxUnits of them.
std::optional<std::vector<uint8_t>> ParseUnits(std::string_view text)
{
    std::vector<uint8_t> units;
    for (std::size_t at = 0;;) {
        const auto comma = text.find(',', at);
        const auto address = ParseUnsigned(text.substr(at, comma - at), 1, 247);
        if (!address || units.size() == kMaxUnits
            || std::find(units.begin(), units.end(), *address) != units.end())
            return std::nullopt;
        units.push_back(static_cast<uint8_t>(*address));
        if (comma == std::string_view::npos)
            return units;
        at = comma + 1;
    }
}

// "ADDRESS:VALUE" is meant for one relay; no colon, for every one. No value
// of an option taking the prefix holds a colon of its own.
std::optional<std::pair<std::optional<uint8_t>, std::string_view>> SplitAddress(
    std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::pair{std::optional<uint8_t>(), text};
    const auto address = ParseUnsigned(text.substr(0, colon), 1, 247);
    if (!address)
        return std::nullopt;
    return std::pair{std::optional<uint8_t>(static_cast<uint8_t>(*address)),
                     text.substr(colon + 1)};
}

// The relays further down the list carry less, as feeders behind an
// incomer do, and never more than the load given: no relay trips on its
// load alone unless the first one does.
uint16_t UnitLoad(uint16_t load, std::size_t position)
{
    return static_cast<uint16_t>((load * 4 + (4 + position) / 2) / (4 + position));
}

// Loopback only: the simulator has no business on a network.
std::optional<TcpAddress> ParseTcpAddress(std::string_view text)
{
    static constexpr std::pair<std::string_view, std::string_view> kLoopback[] = {
        {"127.0.0.1", "127.0.0.1"}, {"localhost", "127.0.0.1"}, {"[::1]", "::1"}};
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const auto port = ParseUnsigned(text.substr(colon + 1), 0, 65535);
    if (!port)
        return std::nullopt;
    for (const auto& [name, numeric] : kLoopback)
        if (text.substr(0, colon) == name)
            return TcpAddress{std::string(numeric), static_cast<uint16_t>(*port)};
    return std::nullopt;
}

using Apply = std::function<bool(Options&, std::string_view)>;

struct OptionDef {
    std::string_view longName;
    char shortName;          // 0: none
    std::string_view value;  // empty: a flag; else the name used in messages
    Apply apply;
    std::string_view accepts = {};  // told when a value is refused
    bool perUnit = false;           // takes an ADDRESS: prefix
};

template <typename T>
Apply Store(T Options::*field, std::optional<T> (*parse)(std::string_view))
{
    return [field, parse](Options& o, std::string_view v) {
        const auto parsed = parse(v);
        if (parsed)
            o.*field = *parsed;
        return parsed.has_value();
    };
}

Apply StoreRate(FaultRate FaultOptions::*field)
{
    return [field](Options& o, std::string_view v) {
        const auto rate = ParseRate(v);
        if (rate)
            o.faults.*field = *rate;
        return rate.has_value();
    };
}

Apply Flag(bool Options::*field)
{
    return [field](Options& o, std::string_view) {
        o.*field = true;
        return true;
    };
}

const std::vector<OptionDef>& Definitions()
{
    static const std::vector<OptionDef> definitions = {
        {"link", 'l', "PATH",
         [](Options& o, std::string_view v) {
             o.linkPath = v;
             return !v.empty();
         }, "a non-empty path"},
        {"tcp", 0, "HOST:PORT",
         [](Options& o, std::string_view v) {
             o.tcp = ParseTcpAddress(v);
             return o.tcp.has_value();
         }, "a loopback HOST:PORT (HOST 127.0.0.1, [::1] or localhost; PORT 0..65535)"},
        {"units", 'u', "LIST",
         [](Options& o, std::string_view v) {
             const auto units = ParseUnits(v);
             if (units)
                 o.unitAddresses = *units;
             return units.has_value();
         }, "addresses 1..247 separated by commas, none twice, at most 32"},
        {"address", 'a', "N",
         [](Options& o, std::string_view v) {
             const auto n = ParseUnsigned(v, 1, 247);
             if (n)
                 o.address = static_cast<uint8_t>(*n);
             return n.has_value();
         }, "a number, 1..247"},
        {"speed", 's', "BPS",
         [](Options& o, std::string_view v) {
             const auto n = ParseUnsigned(v, 0, std::numeric_limits<uint32_t>::max());
             if (!n || !SpeedCode(static_cast<uint32_t>(*n)))
                 return false;
             o.speed = static_cast<uint32_t>(*n);
             return true;
         }, "9600, 19200 or 38400"},
        {"load", 0, "AMPS", Store(&Options::loadCentiamps, &ParseAmps), "amperes, 0..655.35"},
        {"noise", 0, "PERCENT",
         [](Options& o, std::string_view v) {
             const auto p = ParseDecimal(v, 0, 50);
             if (p)
                 o.noisePercent = *p;
             return p.has_value();
         }, "a percentage, 0..50"},
        {"fault-at", 0, "SECONDS",
         [](Options& o, std::string_view v) {
             const auto s = ParseDecimal(v, 0, 86400);
             if (s)
                 o.faultAt = std::chrono::milliseconds(std::llround(*s * 1000));
             return s.has_value();
         }, "seconds, such as 2.5", true},
        {"fault-current", 0, "AMPS", Store(&Options::faultCentiamps, &ParseAmps),
         "amperes, 0..655.35"},
        {"input-hold", 0, "MS",
         [](Options& o, std::string_view v) {
             const auto ms = ParseUnsigned(v, 0, 60000);
             if (ms)
                 o.inputHold = std::chrono::milliseconds(*ms);
             return ms.has_value();
         }, "milliseconds, 0..60000"},
        {"set", 0, "REG=VALUE",
         [](Options& o, std::string_view v) {
             const auto setpoint = ParseSetpointAssignment(v);
             if (setpoint)
                 o.setpoints.push_back(*setpoint);
             return setpoint.has_value();
         }, "REG=VALUE, REG 6..42, VALUE 0..65535", true},
        {"print-registers", 0, "", Flag(&Options::printRegisters)},
        {"echo", 0, "", Flag(&Options::echo)},
        {"drop", 0, "WHICH", StoreRate(&FaultOptions::drop), "a share 0..1 or 1/N", true},
        {"bad-crc", 0, "WHICH", StoreRate(&FaultOptions::badCrc), "a share 0..1 or 1/N", true},
        {"stray", 0, "WHICH", StoreRate(&FaultOptions::stray), "a share 0..1 or 1/N", true},
        {"late", 0, "MS[,WHICH]",
         [](Options& o, std::string_view v) {
             const auto p = ParseAmountAndRate(v, 1, 60000);
             if (p) {
                 o.faults.lateMs = static_cast<unsigned>(p->first);
                 o.faults.late = p->second;
             }
             return p.has_value();
         }, "MS 1..60000, optionally followed by a comma and a share 0..1 or 1/N", true},
        {"exception", 0, "CODE[,WHICH]",
         [](Options& o, std::string_view v) {
             // libmodbus builds exception frames for the standard codes only.
             const auto p = ParseAmountAndRate(v, 1, 11);
             if (p) {
                 o.faults.exceptionCode = static_cast<uint8_t>(p->first);
                 o.faults.exception = p->second;
             }
             return p.has_value();
         }, "CODE 1..11, optionally followed by a comma and a share 0..1 or 1/N", true},
        {"seed", 0, "N",
         [](Options& o, std::string_view v) {
             const auto n = ParseUnsigned(v, 0, std::numeric_limits<uint32_t>::max());
             if (n)
                 o.faults.seed = static_cast<uint32_t>(*n);
             return n.has_value();
         }, "a number, 0..4294967295"},
        {"verbose", 'v', "", Flag(&Options::verbose)},
        {"help", 'h', "", Flag(&Options::help)},
    };
    return definitions;
}

const OptionDef* FindLong(std::string_view name)
{
    for (const auto& def : Definitions())
        if (def.longName == name)
            return &def;
    return nullptr;
}

const OptionDef* FindShort(char name)
{
    for (const auto& def : Definitions())
        if (def.shortName != 0 && def.shortName == name)
            return &def;
    return nullptr;
}

ParseResult Fail(std::string message)
{
    return {std::nullopt, std::move(message)};
}

// An option given with ADDRESS:, applied once the values for every relay
// are known, so that it wins over them wherever it stands.
struct UnitValue {
    const OptionDef* def;
    std::string shown;
    uint8_t address;
    std::string_view value;
};

ParseResult SetUpUnits(Options options, const std::vector<UnitValue>& unitValues)
{
    const std::vector<uint8_t> played = options.unitAddresses.empty()
                                            ? std::vector<uint8_t>{options.address}
                                            : options.unitAddresses;
    for (const auto& u : unitValues)
        if (std::find(played.begin(), played.end(), u.address) == played.end())
            return Fail("option '" + u.shown + "' names address " + std::to_string(u.address)
                        + ", where no relay is played");
    for (std::size_t i = 0; i < played.size(); ++i) {
        Options unit = options;
        unit.faultAt = i == 0 ? options.faultAt : std::nullopt;
        unit.faults.seed = options.faults.seed + static_cast<uint32_t>(i);
        for (const auto& u : unitValues)
            if (u.address == played[i])
                u.def->apply(unit, u.value);
        options.units.push_back({played[i], UnitLoad(options.loadCentiamps, i), unit.faults,
                                 unit.faultAt, unit.setpoints});
    }
    return {std::move(options), {}};
}

} // namespace

std::optional<std::pair<uint16_t, uint16_t>> ParseSetpointAssignment(std::string_view text)
{
    const auto eq = text.find('=');
    if (eq == std::string_view::npos)
        return std::nullopt;
    const auto reg = ParseUnsigned(text.substr(0, eq), 6, 42);
    const auto value = ParseUnsigned(text.substr(eq + 1), 0, 65535);
    if (!reg || !value)
        return std::nullopt;
    return std::pair{static_cast<uint16_t>(*reg), static_cast<uint16_t>(*value)};
}

std::optional<uint16_t> SpeedCode(uint32_t bitsPerSecond)
{
    for (uint16_t code = 0; code < std::size(kSpeeds); ++code)
        if (kSpeeds[code] == bitsPerSecond)
            return code;
    return std::nullopt;
}

std::string DefaultLinkPath(const char* tmpDir)
{
    std::string dir = tmpDir && *tmpDir ? tmpDir : "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir == "/")
        dir.clear();
    return dir + "/zarit-relay";
}

ParseResult ParseOptions(std::span<const std::string_view> args, std::string defaultLinkPath)
{
    Options options;
    options.linkPath = std::move(defaultLinkPath);
    bool linkGiven = false;
    bool addressGiven = false;
    std::vector<UnitValue> unitValues;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const OptionDef* def = nullptr;
        std::optional<std::string_view> inlineValue;
        std::string shown(arg);
        if (arg.starts_with("--") && arg.size() > 2) {
            const auto eq = arg.find('=');
            def = FindLong(arg.substr(2, eq == std::string_view::npos ? eq : eq - 2));
            if (eq != std::string_view::npos) {
                inlineValue = arg.substr(eq + 1);
                shown = arg.substr(0, eq);
            }
        } else if (arg.size() == 2 && arg[0] == '-') {
            def = FindShort(arg[1]);
        } else {
            return Fail("unexpected argument '" + shown + "'");
        }
        if (!def)
            return Fail("unknown option '" + shown + "'");

        std::string_view value;
        if (def->value.empty()) {
            if (inlineValue)
                return Fail("option '" + shown + "' takes no value");
        } else if (inlineValue) {
            value = *inlineValue;
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return Fail("option '" + shown + "' needs a value " + std::string(def->value));
        }
        const auto refused = [&] {
            return Fail("option '" + shown + "' wants " + std::string(def->accepts)
                        + (def->perUnit ? ", optionally after ADDRESS: (1..247)" : "")
                        + ", not '" + std::string(value) + "'");
        };
        if (def->perUnit) {
            const auto split = SplitAddress(value);
            if (!split)
                return refused();
            if (split->first) {
                // Tried at once on a spare copy, so that a bad value is told here.
                Options spare;
                if (!def->apply(spare, split->second))
                    return refused();
                unitValues.push_back({def, shown, *split->first, split->second});
                continue;
            }
        }
        if (!def->apply(options, value))
            return refused();
        linkGiven = linkGiven || def->longName == "link";
        addressGiven = addressGiven || def->longName == "address";
    }
    if (linkGiven && options.tcp)
        return Fail("options '--link' and '--tcp' exclude each other: over TCP there is no link");
    if (addressGiven && !options.unitAddresses.empty())
        return Fail("options '--address' and '--units' exclude each other: --units gives every"
                    " relay's address");
    return SetUpUnits(std::move(options), unitValues);
}

std::string HelpText(const std::string& defaultLinkPath)
{
    return "Usage: relay-sim [OPTION]...\n"
           "Plays one Zarit overcurrent protection relay, a Modbus RTU slave, or with\n"
           "--units several of them, on a virtual serial line (a pseudo-terminal)\n"
           "until interrupted. Prints the line's device path for the monitor's PORT\n"
           "and keeps a symbolic link to it.\n"
           "With --tcp it listens on a TCP port instead, as a serial device server\n"
           "in transparent mode would, and prints PORT=tcp://HOST:PORT.\n"
           "\n"
           "Line:\n"
           "  -l, --link PATH          symbolic link to the line, removed on exit\n"
           "                           (default " + defaultLinkPath + ")\n"
           "      --tcp HOST:PORT      no pseudo-terminal and no link: listen on TCP and\n"
           "                           carry the same RTU frames (CRC included, same\n"
           "                           pacing and faults) over the connection. HOST is\n"
           "                           127.0.0.1, [::1] or localhost; PORT 0 picks a\n"
           "                           free port. One client at a time: another is\n"
           "                           refused (closed at once) while one is connected;\n"
           "                           after a client leaves the next is taken\n"
           "  -a, --address N          slave address, 1..247 (default 1)\n"
           "  -u, --units LIST         several relays on the line instead, at the\n"
           "                           addresses listed, such as 1,2,5: 1..247, none\n"
           "                           twice, at most 32; not with --address. Each has\n"
           "                           its own registers, coils, noise and faults.\n"
           "                           Requests to other addresses go unanswered; a\n"
           "                           broadcast (address 0) is obeyed by every relay\n"
           "                           and answered by none\n"
           "  -s, --speed BPS          9600, 19200 or 38400 (default 9600); every reply\n"
           "                           takes the time the bytes need on a real line\n"
           "      --echo               write every request back before its reply, as a\n"
           "                           two-wire RS-485 adapter that hears its own\n"
           "                           sending does (paced as 8 more bytes on the line)\n"
           "Relay:\n"
           "      --load AMPS          phase load current (default 2.50); the relay at\n"
           "                           position N of --units (from 0) carries 4/(4+N)\n"
           "                           of it (2.50, 2.00, 1.67... A by default)\n"
           "      --noise PERCENT      spread of the measured currents, 0..50\n"
           "                           (default 1; 0 serves exact values)\n"
           "      --fault-at [ADDRESS:]SECONDS\n"
           "                           start a fault on phase A this long after start,\n"
           "                           at the first relay or at ADDRESS (repeatable)\n"
           "      --fault-current AMPS phase A current during a fault (default 10.00)\n"
           "      --input-hold MS      how long discrete input N stays lit after coil\n"
           "                           N (RL N) goes off (default 2000), so that the\n"
           "                           monitor sees a pulse it sends with polling paused\n"
           "      --set [ADDRESS:]REG=VALUE\n"
           "                           value of setpoint register 6..42, at every relay\n"
           "                           or at ADDRESS only (repeatable)\n"
           "      --print-registers    print the registers as served at start, and exit\n"
           "                           (with --units, each relay's under its address)\n"
           "Fault injection, each off by default; ADDRESS: before the value limits it\n"
           "to that relay, as in --drop 2:1/3:\n"
           "      --drop WHICH         send no reply\n"
           "      --bad-crc WHICH      corrupt the reply's CRC\n"
           "      --stray WHICH        send one stray byte (00) before the reply\n"
           "      --late MS[,WHICH]    send the reply MS (1..60000) ms later\n"
           "      --exception CODE[,WHICH]\n"
           "                           answer with Modbus exception CODE (1..11)\n"
           "      --seed N             seed of the random WHICH draws and the noise\n"
           "                           (default 1; N+1 for the second relay of --units...)\n"
           "  WHICH picks the replies: a share 0..1 drawn at random (0.1: about one\n"
           "  in ten), or 1/N for exactly every N-th reply; default for --late and\n"
           "  --exception is 1/1, every reply. Each relay counts its own replies.\n"
           "  For its relay a value with ADDRESS: wins over one without, in whatever\n"
           "  order they come.\n"
           "Other:\n"
           "  -v, --verbose            print every request and reply\n"
           "  -h, --help               print this help and exit\n"
           "\n"
           "Keys on the terminal, each followed by Enter: f starts a fault, c clears\n"
           "it, a acknowledges (as coil 0), sREG=VALUE sets a setpoint as at the\n"
           "relay's front panel (s7=600), q quits. They act on the first relay, or on\n"
           "the one whose address is typed before the key, as in 2f or 2s7=600.\n"
           "With --units every event printed starts with the relay's address, as in\n"
           "\"address 2: RL1 on\".\n"
           "Exit status: 0 after SIGINT, SIGTERM or q; 2 for bad options; 1 when the\n"
           "line cannot be set up (such as a TCP port in use).\n";
}

} // namespace relaysim
