#pragma once

#include "PtyPair.h"
#include "ScriptedReplies.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace testing_support {

// A relay played by a thread on the far end of a pty. By default it answers
// function 3 with fresh register values on every request (so a stale reply is
// told apart from a fresh one) and echoes function 5; anything else gets no
// reply. A script queued with Next() replaces the answer to one request.
class FakeRelay {
public:
    using Script = testing_support::Script;

    explicit FakeRelay(PtyPair& pty);
    ~FakeRelay();
    FakeRelay(const FakeRelay&) = delete;
    FakeRelay& operator=(const FakeRelay&) = delete;

    void Next(Script script);
    // Blocks until every request so far has been answered in full.
    void WaitIdle();

    // Register values of the most recent function-3 answer built.
    std::vector<uint16_t> LastServed() const;
    std::vector<Bytes> Requests() const;
    // When each request was complete, on the steady clock.
    std::vector<std::chrono::steady_clock::time_point> RequestTimes() const;
    // Requests that arrived while an earlier one was still being answered, or
    // hard on its heels before the answer: two masters on the line at once.
    int Overlaps() const { return overlaps_.load(); }

private:
    void Run();
    bool ReadRequest(Bytes& request);
    void Perform(const Reply& reply);

    PtyPair& pty_;
    std::atomic<int> fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> overlaps_{0};
    mutable std::mutex mutex_;
    std::condition_variable idleCv_;
    std::deque<Script> scripts_;
    std::vector<Bytes> requests_;
    std::vector<std::chrono::steady_clock::time_point> times_;
    RelayAnswers answers_;
    bool busy_ = false;
    std::thread thread_;
};

} // namespace testing_support
