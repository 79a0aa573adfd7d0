#pragma once

// The gateway's side of Modbus TCP as pure functions: its settings, the
// client bytes read into requests, the replies and exceptions it gives, and
// who may write. No I/O.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

class TIniFile;

namespace gateway {

// Exception codes a gateway answers with itself.
inline constexpr uint8_t kIllegalFunction = 0x01;
inline constexpr uint8_t kIllegalDataValue = 0x03;
inline constexpr uint8_t kPathUnavailable = 0x0A;  // the unit is not on the line
inline constexpr uint8_t kTargetFailed = 0x0B;     // the unit did not answer

// An address, or a network, allowed to write: IPv4 is kept as IPv6's
// ::ffff:a.b.c.d so that one comparison serves both.
struct Network {
    std::array<uint8_t, 16> address{};
    int prefix = 128;
};

// Section "Gateway". LISTEN empty: no gateway.
struct Settings {
    std::string listen;               // "127.0.0.1:1502", "[::]:502"
    std::vector<Network> writers;     // none: nobody writes
    int maxClients = 32;
    int idleSeconds = 60;
};
inline constexpr const char* kSection = "Gateway";

// The section; an entry of WRITERS that is no address or network is left
// out (so it allows nobody) with the reason in problems, as are a
// MAXCLIENTS or IDLE below 1.
Settings ReadSettings(const TIniFile& ini, std::vector<std::string>& problems);
// "10.0.0.5", "10.0.1.0/24", "fd00::/8", "::1".
std::optional<Network> ParseNetwork(const std::string& text);
// A 16-byte IPv6 address (an IPv4 one mapped) within any of the networks.
bool Allowed(const std::vector<Network>& writers, const std::array<uint8_t, 16>& client);
// "host:port" with a numeric host, IPv6 in brackets.
bool SplitListen(const std::string& listen, std::string& host, std::string& port);

struct Request {
    uint16_t transaction = 0;
    uint8_t unit = 0;
    std::vector<uint8_t> pdu;  // at least the function code
};

// A client's bytes as they come, cut into requests. A header that is no
// Modbus TCP (protocol other than 0, a length below 2 or above 254) breaks
// the stream for good: nothing after it can be framed again. The bytes held
// never exceed one frame.
class RequestReader {
public:
    static constexpr std::size_t kMaxFrame = 7 + 253;

    // Takes what came and returns the requests it completed.
    std::vector<Request> Feed(std::span<const uint8_t> bytes);
    bool Broken() const { return broken_; }
    // A frame has begun and not ended.
    bool Partial() const { return !held_.empty(); }

private:
    std::vector<uint8_t> held_;
    bool broken_ = false;
};

// The frames that answer a request: its reply PDU, or an exception.
std::vector<uint8_t> Reply(const Request& request, std::span<const uint8_t> pdu);
std::vector<uint8_t> Exception(const Request& request, uint8_t code);

// Functions 1-4 read; anything else may change the relay.
bool IsRead(const Request& request);
// A read of holding registers within the first `count` (the polled map).
bool ReadsPolledMap(const Request& request, uint16_t count);
// The reply PDU of such a read, from the registers of one poll.
std::vector<uint8_t> ReadReply(const Request& request, std::span<const uint16_t> registers);

// A write as the events name it: "Квитирование", "RL2 вкл", or the PDU's
// bytes ("запрос 06 00 05 00 01").
std::string WriteText(std::span<const uint8_t> pdu);

} // namespace gateway
