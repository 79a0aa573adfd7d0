#pragma once

// The far end of the serial line under Wine, and a relay played on it. Both
// use raw Win32 calls so that they share no code with the TCOMPort under test.

#include "support/ScriptedRelay.h"

#include <atomic>
#include <string>
#include <thread>

namespace win32_support {

using testing_support::Bytes;
using testing_support::Reply;
using testing_support::Script;
using testing_support::Send;

// The port TCOMPort works on and the one the relay answers on: the two ends
// of the socat pair that scripts/test-windows links into the Wine prefix.
inline const std::string kPortName = "COM5";
inline const std::string kPeerName = "COM6";

// One end of the line, opened without overlapped I/O: it only ever reads
// what the receive queue already holds, so no call of it blocks.
class LinePeer {
public:
    explicit LinePeer(const std::string& portName = kPeerName);
    ~LinePeer();
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;

    bool IsOpen() const;
    // Bytes in the receive queue now.
    int Waiting() const;
    // Writes every byte; false when the line took fewer.
    bool Send(const Bytes& bytes);
    // Waits up to firstMs for a first byte, then collects until the line has
    // been quiet for quietMs.
    Bytes Receive(int firstMs, int quietMs);
    // Drops what is in flight: everything until the line is quiet for quietMs.
    void Drain(int quietMs = 150);

private:
    Bytes Take();
    void* handle_;
};

// The scripted relay on the far end of a Wine COM port.
class Relay : public testing_support::ScriptedRelay {
public:
    explicit Relay(LinePeer& peer);
    ~Relay() override;

private:
    int Waiting() const override;
    void Run();

    LinePeer& peer_;
    std::atomic<bool> stop_{false};
    std::thread thread_;  // last: starts once every member above exists
};

} // namespace win32_support
