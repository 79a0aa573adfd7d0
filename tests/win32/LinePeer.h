#pragma once

// The far end of the serial line under Wine, and a relay played on it. Both
// use raw Win32 calls so that they share no code with the TCOMPort under test.

#include "support/ScriptedReplies.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// A relay answering from a thread. By default it answers function 3 with
// fresh register values on every request (so a stale reply is told apart
// from a fresh one) and echoes function 5; anything else gets no reply. A
// script queued with Next() replaces the answer to one request.
class Relay {
public:
    explicit Relay(LinePeer& peer);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    void Next(Script script);
    // Blocks until every request so far has been answered in full.
    void WaitIdle();
    std::vector<uint16_t> LastServed() const;
    std::vector<Bytes> Requests() const;

private:
    void Run();

    LinePeer& peer_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::deque<Script> scripts_;
    std::vector<Bytes> requests_;
    testing_support::RelayAnswers answers_;
    bool busy_ = false;
    std::thread thread_;  // last: starts once every member above exists
};

} // namespace win32_support
