#pragma once

#include "support/ScriptedRelay.h"

#include <memory>
#include <string>

namespace contract {

// The line a contract suite runs on: a port for the code under test, and a
// scripted relay on its far end. Each platform's test build links in the one
// it has: RelayLine_posix.cpp (a pseudo-terminal) or RelayLine_win32.cpp (the
// socat pair of COM ports in the Wine prefix).
class RelayLine {
public:
    virtual ~RelayLine() = default;

    // What keeps the line from being tested on; empty when nothing does.
    virtual std::string Problem() const = 0;
    // For TCOMPort's constructor.
    virtual std::string DevicePath() const = 0;
    // The same port as PORT in ZaritMon.ini names it.
    virtual std::string PortName() const = 0;
    virtual testing_support::ScriptedRelay& Relay() = 0;
    // Requests that reached the relay hard on the heels of another, before
    // it had answered: two masters on the line at once.
    virtual int Overlaps() const = 0;

    // How long a raw request waits for its reply.
    virtual int RawWaitMs() const = 0;
};

std::unique_ptr<RelayLine> MakeRelayLine();

} // namespace contract
