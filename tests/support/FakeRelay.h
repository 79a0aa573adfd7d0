#pragma once

#include "PtyPair.h"
#include "ScriptedRelay.h"

#include <atomic>
#include <thread>

namespace testing_support {

// The scripted relay on the far end of a pty.
class FakeRelay : public ScriptedRelay {
public:
    explicit FakeRelay(PtyPair& pty);
    ~FakeRelay() override;

    // Requests that arrived while an earlier one was still being answered, or
    // hard on its heels before the answer: two masters on the line at once.
    int Overlaps() const { return overlaps_.load(); }

private:
    int Waiting() const override;
    void Run();
    void Perform(const Reply& reply);

    PtyPair& pty_;
    std::atomic<int> fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> overlaps_{0};
    std::thread thread_;
};

} // namespace testing_support
