#pragma once

#include "ScriptedReplies.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace testing_support {

// A relay answering from a thread of its own on the far end of the line
// under test. By default it answers as RelayAnswers does: function 3 with
// fresh register values on every request (so a stale reply is told apart
// from a fresh one), function 5 echoed, anything else unanswered. A script
// queued with Next() replaces the answer to one request.
//
// This class keeps the book; a derived class plays it on one kind of line
// (FakeRelay on a pseudo-terminal, the Windows tests' Relay on a Wine COM
// port): it reads each whole request, hands it to Answer() and sends what
// comes back, between Busy() and Idle().
class ScriptedRelay {
public:
    using Script = testing_support::Script;
    using Clock = std::chrono::steady_clock;

    virtual ~ScriptedRelay() = default;
    ScriptedRelay(const ScriptedRelay&) = delete;
    ScriptedRelay& operator=(const ScriptedRelay&) = delete;

    void Next(Script script);
    // Blocks until every request so far has been answered in full.
    void WaitIdle();

    // Register values of the most recent function-3 answer built.
    std::vector<uint16_t> LastServed() const;
    std::vector<Bytes> Requests() const;
    // When each request was complete, on the steady clock.
    std::vector<Clock::time_point> RequestTimes() const;

protected:
    ScriptedRelay() = default;

    // Bytes at the relay's end of the line, not yet read.
    virtual int Waiting() const = 0;

    // Marks the relay busy when bytes are waiting, in the same step that
    // looks, so that WaitIdle never finds neither; true when it did.
    bool BusyIfWaiting();
    void Busy();
    void Idle();
    // Records a whole request and returns what to send for it.
    Reply Answer(const Bytes& request);
    // The relay's own answer to a request, as its line carries it; RTU
    // frames unless a derived class speaks another framing.
    virtual Bytes Good(RelayAnswers& answers, const Bytes& request) { return answers.GoodReply(request); }

private:
    mutable std::mutex mutex_;
    std::deque<Script> scripts_;
    std::vector<Bytes> requests_;
    std::vector<Clock::time_point> times_;
    RelayAnswers answers_;
    bool busy_ = false;
};

} // namespace testing_support
