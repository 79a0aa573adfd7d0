#include "PortAddress.h"

#include <algorithm>
#include <cctype>

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size()
           && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
                  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
              });
}

bool AllOf(std::string_view text, bool (*allowed)(char))
{
    return !text.empty() && std::all_of(text.begin(), text.end(), allowed);
}

bool Ipv6Char(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

bool HostChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// HOST:PORT, HOST bracketed when it is an IPv6 address.
bool SplitHostPort(std::string_view rest, std::string& host, uint16_t& port)
{
    std::string_view portText;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        const std::string_view inside = rest.substr(1, close - 1);
        if (!AllOf(inside, Ipv6Char) || inside.find(':') == std::string_view::npos)
            return false;
        host = std::string(inside);
        portText = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos)
            return false;
        const std::string_view name = rest.substr(0, colon);
        if (!AllOf(name, HostChar) || name.front() == '.' || name.front() == '-')
            return false;
        host = std::string(name);
        portText = rest.substr(colon + 1);
    }
    if (portText.empty() || portText.size() > 5
        || !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned long value = std::stoul(std::string(portText));
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

} // namespace

std::string PortAddressFormHelp()
{
    return "ожидается tcp://УЗЕЛ:ПОРТ (кадры RTU через TCP) или mbtcp://УЗЕЛ:ПОРТ (Modbus TCP), где УЗЕЛ — "
           "адрес IPv4, адрес IPv6 в квадратных скобках или имя, а ПОРТ — число от 1 до 65535; например "
           "tcp://192.168.1.20:4001, mbtcp://[fe80::1]:502, tcp://gateway.local:502";
}

std::optional<PortAddress> ParsePortAddress(std::string_view name, std::string* error)
{
    PortAddress address;
    std::string_view rest;
    if (StartsWithNoCase(name, "tcp://")) {
        address.kind = PortAddress::Kind::RtuOverTcp;
        rest = name.substr(6);
    } else if (StartsWithNoCase(name, "mbtcp://")) {
        address.kind = PortAddress::Kind::ModbusTcp;
        rest = name.substr(8);
    } else if (name.find("://") != std::string_view::npos) {
        rest = {};  // another scheme: not a serial port either
        address.kind = PortAddress::Kind::RtuOverTcp;
    } else {
        return address;  // a serial port, as the serial backend names it
    }
    if (rest.empty() || !SplitHostPort(rest, address.host, address.port)) {
        if (error)
            *error = PortAddressFormHelp();
        return std::nullopt;
    }
    return address;
}
