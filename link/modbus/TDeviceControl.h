#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <vector>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class TModBusDevice;

// The relay's holding registers 0..count-1 as last read. Each entry is read
// and written whole; one reader pass may mix entries of two successive polls.
class RegisterImage {
public:
    explicit RegisterImage(uint16_t count);
    uint16_t Count() const { return count_; }
    uint16_t Get(uint16_t index) const;  // 0 for an index out of range
    void Store(const uint16_t* values);  // all Count() entries

private:
    uint16_t count_;
    std::unique_ptr<std::atomic<uint16_t>[]> entries_;
};

// The polls' outcomes since the counts were last reset.
struct PollStats {
    uint64_t polls = 0;
    uint64_t answered = 0;
    uint64_t timeouts = 0;       // nothing came back: no reply in time, a dead line
    uint64_t rejected = 0;       // garbled or short replies
    uint64_t exceptions = 0;     // the relay answered with an exception
    bool lastAnswered = false;   // meaningful once polls > 0
    bool echo = false;           // the line's echo was being taken off after the last poll
    std::chrono::system_clock::time_point lastAnswerAt{};  // when answered > 0
};

// One poll's outcome with its time: the registers of an accepted poll, or
// none for a poll that went unanswered or was rejected.
struct PollSample {
    std::chrono::system_clock::time_point at;
    std::vector<uint16_t> values;
    bool answered = true;
    bool silent = false;  // not answered, and not a byte came back either
};

// The poll thread. While polling is on it reads registers 0..count-1 into the
// image, then pauses for the interval; StopPolling returns only once the
// thread is outside any transaction, so the caller may then use the master.
class TDeviceControl {
public:
    // A failed read is followed by at least this pause, so that a dead port
    // polled at interval 0 neither spins nor floods the log.
    static constexpr int kMinPauseAfterFailureMs = 100;

    explicit TDeviceControl(uint16_t count);
    ~TDeviceControl();  // terminates and joins
    TDeviceControl(const TDeviceControl&) = delete;
    TDeviceControl& operator=(const TDeviceControl&) = delete;

    void SetMaster(TModBusDevice* master);
    void SetInterval(int32_t ms);  // negative is taken as 0
    void StartPolling();
    void StopPolling();
    bool IsPolling() const { return polling_.load(); }
    uint16_t GetRegister(uint16_t index) const { return image_.Get(index); }
    const RegisterImage& Image() const { return image_; }

    PollStats Stats() const;
    void ResetStats();
    // The polls since the last call, oldest first; at most kMaxSamples are
    // kept when nobody takes them.
    std::vector<PollSample> TakeSamples();
    static constexpr std::size_t kMaxSamples = 4096;

    void Terminate();
    void WaitFor();

private:
    void Execute();
    void PollOnce(std::unique_lock<std::mutex>& lock);

    RegisterImage image_;
    TModBusDevice* master_ = nullptr;  // guarded by mutex_
    int32_t intervalMs_ = 1000;        // guarded by mutex_
    std::atomic<bool> polling_{false};

    mutable std::mutex mutex_;
    std::condition_variable wake_;   // the thread's pauses and its idle wait
    std::condition_variable idleCv_; // StopPolling waits here
    bool idle_ = false;              // set only in the idle branch
    bool terminated_ = false;
    bool ended_ = false;
    // Bumped by StopPolling. A stop during a read lets the read finish, then
    // ends the pause at once; one during the pause ends it.
    uint64_t stopGeneration_ = 0;
    PollStats stats_;              // guarded by mutex_
    std::deque<PollSample> samples_;  // guarded by mutex_

    std::thread thread_;  // last: starts after every member above exists
};
