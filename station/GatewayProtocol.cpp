#include "GatewayProtocol.h"

#include "MbapFrame.h"
#include "ModbusFrame.h"
#include "RelayRegisters.h"
#include "TIniFile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <cstring>

namespace gateway {
namespace {

std::string Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

} // namespace

std::optional<Network> ParseNetwork(const std::string& text)
{
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    Network network;
    in_addr v4{};
    bool isV4 = false;
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        isV4 = true;
        network.address[10] = network.address[11] = 0xFF;
        std::memcpy(&network.address[12], &v4, 4);
    } else if (inet_pton(AF_INET6, host.c_str(), network.address.data()) != 1) {
        return std::nullopt;
    }
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        int prefix = -1;
        const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
        if (error != std::errc() || end != bits.data() + bits.size() || prefix < 0 || prefix > (isV4 ? 32 : 128))
            return std::nullopt;
        network.prefix = isV4 ? 96 + prefix : prefix;
    }
    return network;
}

bool Allowed(const std::vector<Network>& writers, const std::array<uint8_t, 16>& client)
{
    return std::any_of(writers.begin(), writers.end(), [&](const Network& n) {
        for (int bit = 0; bit < n.prefix; ++bit) {
            const int mask = 0x80 >> (bit % 8);
            if ((n.address[bit / 8] & mask) != (client[bit / 8] & mask))
                return false;
        }
        return true;
    });
}

bool SplitListen(const std::string& listen, std::string& host, std::string& port)
{
    const std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon + 1 == listen.size())
        return false;
    host = listen.substr(0, colon);
    port = listen.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos)
        return false;  // IPv6 without brackets: where its port begins is a guess
    return !host.empty() && std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Settings ReadSettings(const TIniFile& ini, std::vector<std::string>& problems)
{
    Settings s;
    s.listen = Trimmed(ini.ReadString(kSection, "LISTEN", ""));
    const std::string all = ini.ReadString(kSection, "WRITERS", "");
    for (std::size_t at = 0; at <= all.size();) {
        const std::size_t comma = std::min(all.find(',', at), all.size());
        const std::string entry = Trimmed(std::string_view(all).substr(at, comma - at));
        if (!entry.empty()) {
            if (const std::optional<Network> network = ParseNetwork(entry))
                s.writers.push_back(*network);
            else
                problems.push_back("WRITERS: «" + entry + "» — не адрес и не сеть (пример: 10.0.0.5, 10.0.1.0/24)");
        }
        at = comma + 1;
    }
    const auto positive = [&](const char* key, int fallback) {
        const int32_t value = ini.ReadInteger(kSection, key, fallback);
        if (value >= 1)
            return static_cast<int>(value);
        problems.push_back(std::string(key) + " меньше 1: взято " + std::to_string(fallback));
        return fallback;
    };
    s.maxClients = positive("MAXCLIENTS", s.maxClients);
    s.idleSeconds = positive("IDLE", s.idleSeconds);
    return s;
}

std::vector<Request> RequestReader::Feed(std::span<const uint8_t> bytes)
{
    std::vector<Request> done;
    while (!broken_ && !bytes.empty()) {
        // Only the rest of the frame under way is taken, so that the bytes
        // held never exceed one frame.
        std::size_t want = modbus::kMbapSize;
        if (held_.size() >= modbus::kMbapSize)
            want = modbus::kMbapSize - 1 + modbus::ParseMbap(held_).length;
        const std::size_t take = std::min(want - held_.size(), bytes.size());
        held_.insert(held_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (held_.size() == modbus::kMbapSize && !modbus::IsFrameHeader(modbus::ParseMbap(held_))) {
            broken_ = true;
            break;
        }
        const modbus::MbapHeader header = held_.size() >= modbus::kMbapSize ? modbus::ParseMbap(held_)
                                                                              : modbus::MbapHeader{};
        if (held_.size() > modbus::kMbapSize && held_.size() == modbus::kMbapSize - 1 + header.length) {
            done.push_back({header.transaction, header.unit, {held_.begin() + modbus::kMbapSize, held_.end()}});
            held_.clear();
        }
    }
    if (broken_)
        held_.clear();
    return done;
}

std::vector<uint8_t> Reply(const Request& request, std::span<const uint8_t> pdu)
{
    return modbus::WrapMbap(request.transaction, request.unit, pdu);
}

std::vector<uint8_t> Exception(const Request& request, uint8_t code)
{
    const uint8_t pdu[] = {static_cast<uint8_t>(request.pdu.at(0) | 0x80), code};
    return Reply(request, pdu);
}

bool IsRead(const Request& request)
{
    return request.pdu[0] >= 0x01 && request.pdu[0] <= 0x04;
}

bool ReadsPolledMap(const Request& request, uint16_t count)
{
    const std::vector<uint8_t>& p = request.pdu;
    if (p.size() != 5 || p[0] != 0x03)
        return false;
    const unsigned first = p[1] << 8 | p[2];
    const unsigned n = p[3] << 8 | p[4];
    return n >= 1 && first + n <= count;
}

std::vector<uint8_t> ReadReply(const Request& request, std::span<const uint16_t> registers)
{
    const std::vector<uint8_t>& p = request.pdu;
    const unsigned first = p[1] << 8 | p[2];
    const unsigned n = p[3] << 8 | p[4];
    std::vector<uint8_t> pdu{0x03, static_cast<uint8_t>(2 * n)};
    for (unsigned i = first; i < first + n; ++i) {
        pdu.push_back(static_cast<uint8_t>(registers[i] >> 8));
        pdu.push_back(static_cast<uint8_t>(registers[i] & 0xFF));
    }
    return pdu;
}

std::string WriteText(std::span<const uint8_t> pdu)
{
    if (pdu.size() == 5 && pdu[0] == 0x05 && pdu[1] == 0 && (pdu[4] == 0) && (pdu[3] == 0xFF || pdu[3] == 0)) {
        const bool on = pdu[3] == 0xFF;
        if (pdu[2] == relay::kAcknowledgeCoil && on)
            return "Квитирование";
        if (pdu[2] >= 1 && pdu[2] <= 4)
            return "RL" + std::to_string(pdu[2]) + (on ? " вкл" : " выкл");
    }
    std::string text = modbus::FormatFrame("запрос", pdu);
    text.erase(text.find(':'), 1);
    text.pop_back();
    return text;
}

} // namespace gateway
