#include "ScriptedRelay.h"

#include <thread>

namespace testing_support {

void ScriptedRelay::Next(Script script)
{
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(script));
}

void ScriptedRelay::WaitIdle()
{
    const auto limit = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (!busy_ && Waiting() == 0)
                return;
        }
        if (Clock::now() > limit)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<uint16_t> ScriptedRelay::LastServed() const
{
    std::lock_guard lock(mutex_);
    return answers_.LastServed();
}

std::vector<Bytes> ScriptedRelay::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<ScriptedRelay::Clock::time_point> ScriptedRelay::RequestTimes() const
{
    std::lock_guard lock(mutex_);
    return times_;
}

bool ScriptedRelay::BusyIfWaiting()
{
    std::lock_guard lock(mutex_);
    busy_ = Waiting() > 0;
    return busy_;
}

void ScriptedRelay::Busy()
{
    std::lock_guard lock(mutex_);
    busy_ = true;
}

void ScriptedRelay::Idle()
{
    std::lock_guard lock(mutex_);
    busy_ = false;
}

Reply ScriptedRelay::Answer(const Bytes& request)
{
    Script script;
    Bytes good;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        times_.push_back(Clock::now());
        if (!scripts_.empty()) {
            script = std::move(scripts_.front());
            scripts_.pop_front();
        }
        good = Good(answers_, request);
    }
    // Outside the lock: a script may ask the relay what it has seen.
    if (script)
        return script(request, good);
    return Reply{{request.size() > 1 && request[1] == 0x05 ? kCoilReplyMs : 0, good}};
}

} // namespace testing_support
