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

namespace {

std::vector<uint8_t> OneAtLeast(std::vector<uint8_t> units)
{
    if (units.empty())
        units.push_back(0);
    return units;
}

} // namespace

TDeviceControl::TDeviceControl(uint16_t count, std::vector<uint8_t> units) : count_(count)
{
    units = OneAtLeast(std::move(units));
    units_.reserve(units.size());
    for (uint8_t address : units)
        units_.emplace_back(address, count);
    // Started last, once every unit exists.
    thread_ = std::thread([this] { Execute(); });
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

PollStats TDeviceControl::Stats(std::size_t unit) const
{
    std::lock_guard lock(mutex_);
    return units_[unit].stats;
}

PollStats TDeviceControl::LastAnswer(std::size_t unit, std::vector<uint16_t>& values) const
{
    std::lock_guard lock(mutex_);
    values = units_[unit].lastValues;
    return units_[unit].stats;
}

void TDeviceControl::SetPollListener(std::function<void()> listener)
{
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

void TDeviceControl::RunBetweenPolls(std::function<void(TModBusDevice*)> job)
{
    std::lock_guard lock(mutex_);
    if (ended_) {
        job(nullptr);
        return;
    }
    jobs_.push_back(std::move(job));
    wake_.notify_all();
}

bool TDeviceControl::RunJob(std::unique_lock<std::mutex>& lock)
{
    if (jobs_.empty())
        return false;
    const std::function<void(TModBusDevice*)> job = std::move(jobs_.front());
    jobs_.pop_front();
    TModBusDevice* master = master_;
    lock.unlock();
    job(master);
    Notify();
    lock.lock();
    return true;
}

// listener_ is set before polling starts and read only by the poll thread.
void TDeviceControl::Notify()
{
    if (listener_)
        listener_();
}

void TDeviceControl::ResetStats()
{
    std::lock_guard lock(mutex_);
    for (Unit& unit : units_) {
        unit.stats = PollStats{};
        unit.silentRounds = 0;
        unit.demoted = false;
        unit.due = true;
    }
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
            // A job a poll: neither the line's polling nor the jobs starve.
            if (RunJob(lock) && (!polling_ || terminated_))
                continue;
            PollNext(lock);
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
    std::deque<std::function<void(TModBusDevice*)>> left = std::move(jobs_);
    lock.unlock();
    for (const auto& job : left)
        job(nullptr);
}

void TDeviceControl::BeginRound()
{
    next_ = 0;
    roundAnswered_ = false;
    // With no relay answering there is nobody to keep waiting: all are polled.
    const bool anyLive = std::any_of(units_.begin(), units_.end(), [](const Unit& u) { return !u.demoted; });
    const auto now = std::chrono::steady_clock::now();
    for (Unit& unit : units_) {
        unit.stats.rare = unit.demoted && anyLive;
        unit.due = !unit.stats.rare
                   || (++unit.roundsSinceRarePoll >= kRareEvery && now - unit.polledAt >= kRareEvery * unit.silentCost);
        if (unit.due)
            unit.roundsSinceRarePoll = 0;
    }
}

// Called and returning with the lock held; the read itself runs unlocked.
void TDeviceControl::PollNext(std::unique_lock<std::mutex>& lock)
{
    while (next_ < units_.size() && !units_[next_].due)
        ++next_;
    if (next_ == units_.size())
        BeginRound();
    while (!units_[next_].due)  // one at least is due in a fresh round
        ++next_;
    Unit& unit = units_[next_];
    TModBusDevice* master = master_;
    // Taken before the read, so that a stop arriving during the read ends
    // the pause after it at once: the caller waits one read, never an interval.
    const uint64_t generation = stopGeneration_;
    lock.unlock();
    std::vector<uint16_t> values(count_);
    const auto pollStart = std::chrono::steady_clock::now();
    bool ok = false;
    if (master) {
        // The master keeps the address the commands go to; polls borrow it.
        const uint8_t own = master->Address();
        if (unit.address != 0)
            master->SetAddress(unit.address);
        ok = master->ReadHoldingRegisters(values.data(), 0, count_);
        master->SetAddress(own);
    }
    const auto polledAt = std::chrono::steady_clock::now();
    if (ok)
        unit.image.Store(values.data());
    const bool silent = !master || master->LastHeardNothing();
    const bool exception = master && master->LastRejectedException();
    const bool echo = master && master->RemovingEcho();
    lock.lock();

    unit.polledAt = polledAt;
    PollStats& stats = unit.stats;
    const auto now = std::chrono::system_clock::now();
    if (!ok && (stats.polls == 0 || stats.lastAnswered))
        stats.failingSince = now;
    ++stats.polls;
    stats.lastAnswered = ok;
    stats.echo = echo;
    if (samples_.size() >= kMaxSamples * units_.size())
        samples_.pop_front();
    const std::size_t index = next_;
    if (ok) {
        ++stats.answered;
        stats.lastAnswerAt = now;
        unit.silentRounds = 0;
        unit.demoted = stats.rare = false;
        roundAnswered_ = true;
        unit.lastValues = values;
        samples_.push_back({now, std::move(values), true, false, index});
    } else {
        // A dead line's empty read is logged as a CRC error but counted as
        // what it is: nothing came back.
        ++(silent ? stats.timeouts : exception ? stats.exceptions : stats.rejected);
        samples_.push_back({now, {}, false, silent, index});
        unit.silentCost = polledAt - pollStart;
        if (++unit.silentRounds >= kSilentRoundsBeforeRare && !unit.demoted) {
            unit.demoted = true;
            unit.roundsSinceRarePoll = 0;
        }
    }

    lock.unlock();
    Notify();
    lock.lock();

    ++next_;
    while (next_ < units_.size() && !units_[next_].due)
        ++next_;
    if (next_ < units_.size())
        return;  // the round goes on at once; the loop sees a stop first

    int pauseMs = intervalMs_;
    if (!roundAnswered_)
        pauseMs = std::max(pauseMs, kMinPauseAfterFailureMs);
    // Jobs run in the pause as they come; the pause keeps its end.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pauseMs);
    const auto interrupted = [&] { return terminated_ || stopGeneration_ != generation; };
    while (wake_.wait_until(lock, until, [&] { return interrupted() || !jobs_.empty(); }) && !interrupted())
        RunJob(lock);
}
