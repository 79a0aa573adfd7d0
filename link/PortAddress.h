#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What PORT names: a serial port, or a relay behind the network.
//   COM1, ttyUSB0, /dev/serial/by-id/...   a serial port
//   tcp://HOST:PORT     RTU frames carried over TCP (a serial device server
//                       in transparent mode: the bytes of the wire, CRC too)
//   mbtcp://HOST:PORT   Modbus TCP (MBAP header, no CRC)
// HOST is an IPv4 address, an IPv6 address in brackets, or a host name.
struct PortAddress {
    enum class Kind { Serial, RtuOverTcp, ModbusTcp };
    Kind kind = Kind::Serial;
    std::string host;  // without brackets
    uint16_t port = 0;

    bool IsNetwork() const { return kind != Kind::Serial; }
};

// The address a port name gives, or nothing, with *error saying what form
// is expected, for a name that looks like a network address but is not one.
std::optional<PortAddress> ParsePortAddress(std::string_view name, std::string* error = nullptr);

// The message for a name ParsePortAddress refuses.
std::string PortAddressFormHelp();
