#include "TDeviceControl.h"

#include "TModBusDevice.h"

#include <algorithm>
#include <chrono>
#include <vector>

RegisterImage::RegisterImage(uint16_t count)
    : count_(count), entries_(std::make_unique<std::atomic<uint16_t>[]>(count))
{
    for (uint16_t i = 0; i < count_; ++i)
        entries_[i].store(0);
}

uint16_t RegisterImage::Get(uint16_t index) const
{
    return index < count_ ? entries_[index].load(std::memory_order_relaxed) : 0;
}

void RegisterImage::Store(const uint16_t* values)
{
    for (uint16_t i = 0; i < count_; ++i)
        entries_[i].store(values[i], std::memory_order_relaxed);
}

TDeviceControl::TDeviceControl(uint16_t count)
    : image_(count), thread_([this] { Execute(); })
{
}

TDeviceControl::~TDeviceControl()
{
    Terminate();
    WaitFor();
}

void TDeviceControl::SetMaster(TModBusDevice* master)
{
    std::lock_guard lock(mutex_);
    master_ = master;
}

void TDeviceControl::SetInterval(int32_t ms)
{
    std::lock_guard lock(mutex_);
    intervalMs_ = std::max<int32_t>(ms, 0);
}

void TDeviceControl::StartPolling()
{
    std::lock_guard lock(mutex_);
    // Under the same lock as the thread's "flag clear, so signal idle": an
    // idle signal from before this start can no longer satisfy a stop.
    idle_ = false;
    polling_ = true;
    wake_.notify_all();
}

void TDeviceControl::StopPolling()
{
    std::unique_lock lock(mutex_);
    polling_ = false;
    ++stopGeneration_;
    wake_.notify_all();
    idleCv_.wait(lock, [this] { return idle_ || ended_; });
}

PollStats TDeviceControl::Stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

void TDeviceControl::ResetStats()
{
    std::lock_guard lock(mutex_);
    stats_ = PollStats{};
}

std::vector<PollSample> TDeviceControl::TakeSamples()
{
    std::lock_guard lock(mutex_);
    std::vector<PollSample> taken(std::make_move_iterator(samples_.begin()), std::make_move_iterator(samples_.end()));
    samples_.clear();
    return taken;
}

void TDeviceControl::Terminate()
{
    std::lock_guard lock(mutex_);
    terminated_ = true;
    wake_.notify_all();
}

void TDeviceControl::WaitFor()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void TDeviceControl::Execute()
{
    std::unique_lock lock(mutex_);
    while (!terminated_) {
        if (polling_) {
            PollOnce(lock);
            continue;
        }
        idle_ = true;
        idleCv_.notify_all();
        // Idle costs nothing until a start, a stop that needs a fresh idle
        // signal, or the end: each of them notifies. A stop that finds the
        // thread here returns at once, the idle signal being still valid.
        wake_.wait(lock, [this] { return terminated_ || polling_ || !idle_; });
    }
    ended_ = true;
    idleCv_.notify_all();
}

// Called and returning with the lock held; the read itself runs unlocked.
void TDeviceControl::PollOnce(std::unique_lock<std::mutex>& lock)
{
    TModBusDevice* master = master_;
    const uint16_t count = image_.Count();
    // Taken before the read, so that a stop arriving during the read ends
    // the pause after it at once: the caller waits one read, never an interval.
    const uint64_t generation = stopGeneration_;
    lock.unlock();
    std::vector<uint16_t> values(count);
    const bool ok = master && master->ReadHoldingRegisters(values.data(), 0, count);
    if (ok)
        image_.Store(values.data());
    const bool silent = !master || master->LastHeardNothing();
    const bool exception = master && master->LastRejectedException();
    const bool echo = master && master->RemovingEcho();
    lock.lock();

    ++stats_.polls;
    stats_.lastAnswered = ok;
    stats_.echo = echo;
    const auto now = std::chrono::system_clock::now();
    if (samples_.size() == kMaxSamples)
        samples_.pop_front();
    if (ok) {
        ++stats_.answered;
        stats_.lastAnswerAt = now;
        samples_.push_back({now, std::move(values), true});
    } else {
        // A dead line's empty read is logged as a CRC error but counted as
        // what it is: nothing came back.
        ++(silent ? stats_.timeouts : exception ? stats_.exceptions : stats_.rejected);
        samples_.push_back({now, {}, false, silent});
    }

    int pauseMs = intervalMs_;
    if (!ok)
        pauseMs = std::max(pauseMs, kMinPauseAfterFailureMs);
    wake_.wait_for(lock, std::chrono::milliseconds(pauseMs), [&] {
        return terminated_ || stopGeneration_ != generation;
    });
}
