#pragma once

#include "PortProblem.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// Failures of the line. Only ETimeout is ever raised (by Read); the base
// exists so callers can catch every line failure in one clause.
class ESerialException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ETimeout : public ESerialException {
public:
    ETimeout() : ESerialException("serial read: completion wait ran out") {}
};

// What the master needs of the line to the relay, whatever carries it: a
// serial port (TCOMPort) or a TCP connection to a serial device server or a
// Modbus gateway (TcpTransport). Every transport reads the way the serial
// port does: a read ends on its byte count, on the gap after a received byte
// (read interval timeout), on the total read timeout, or on the caller's
// completion wait, and only the last one raises, after emptying the receive
// side. While the line is not open every operation returns 0 at once. Not
// thread-safe: one operation at a time.
class Transport {
public:
    virtual ~Transport() = default;

    // As the link was given it: a device path, or tcp://HOST:PORT.
    virtual const std::string& PortName() const = 0;
    virtual bool IsOpen() const = 0;
    // Why the line is not open, from its last attempt; Kind::None while it
    // is open, or when the line does not know. Safe from any thread.
    virtual PortProblem Problem() const { return {}; }
    // Before each transaction: true when the line is open, or could be
    // opened again now (at most once a second after a failure), within a
    // wait short enough for the window's thread.
    virtual bool EnsureOpen() = 0;
    virtual void Close() = 0;

    // Returns the bytes received, possibly fewer than n. Throws ETimeout
    // when waitMs runs out first.
    virtual int Read(uint8_t* buffer, int n, int waitMs) = 0;
    // Gives up after 5000 ms and returns what went out; never throws.
    virtual int Write(const uint8_t* buffer, int n) = 0;
    // Clears line errors; returns the number of bytes waiting to be read.
    virtual int ClearErrors() = 0;
    // Drops whatever waits to be read.
    virtual void DiscardInput() = 0;
};
