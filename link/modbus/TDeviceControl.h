#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
    // Silent for kSilentRoundsBeforeRare rounds while others answer: polled
    // only every kRareEvery-th round until it answers again.
    bool rare = false;
    std::chrono::system_clock::time_point lastAnswerAt{};  // when answered > 0
    // The first of the polls not answered since the last answer; meaningful
    // once polls > 0 and !lastAnswered.
    std::chrono::system_clock::time_point failingSince{};

    friend bool operator==(const PollStats&, const PollStats&) = default;
};

// One poll's outcome with its time: the registers of an accepted poll, or
// none for a poll that went unanswered or was rejected.
struct PollSample {
    std::chrono::system_clock::time_point at;
    std::vector<uint16_t> values;
    bool answered = true;
    bool silent = false;  // not answered, and not a byte came back either
    std::size_t unit = 0;  // the relay's place in the poll thread's list
};

// The poll thread. While polling is on it reads registers 0..count-1 of each
// relay on the line in turn, one transaction at a time, each into its own
// image, then pauses for the interval; StopPolling returns only once the
// thread is outside any transaction, so the caller may then use the master.
// A stop between two relays of a round ends the round there; the next start
// goes on with the relay after.
class TDeviceControl {
public:
    // A round where no read succeeded is followed by at least this pause, so
    // that a dead port polled at interval 0 neither spins nor floods the log.
    static constexpr int kMinPauseAfterFailureMs = 100;
    // Each silent poll costs the whole reply wait; a relay silent this many
    // rounds in a row is polled only every kRareEvery-th round while any
    // other relay answers, and no sooner than its silent poll takes a
    // kRareEvery-th of the time since the one before, so that it does not
    // slow the live ones, however short their round.
    static constexpr int kSilentRoundsBeforeRare = 3;
    static constexpr int kRareEvery = 10;

    // units: the relays' addresses, polled in this order; none: one relay,
    // at the address the master has.
    explicit TDeviceControl(uint16_t count, std::vector<uint8_t> units = {});
    ~TDeviceControl();  // terminates and joins
    TDeviceControl(const TDeviceControl&) = delete;
    TDeviceControl& operator=(const TDeviceControl&) = delete;

    void SetMaster(TModBusDevice* master);
    void SetInterval(int32_t ms);  // negative is taken as 0
    void StartPolling();
    void StopPolling();
    bool IsPolling() const { return polling_.load(); }
    std::size_t UnitCount() const { return units_.size(); }
    // 0 for the one relay at the master's own address.
    uint8_t UnitAddress(std::size_t unit) const { return units_[unit].address; }
    uint16_t GetRegister(uint16_t index, std::size_t unit = 0) const { return units_[unit].image.Get(index); }
    const RegisterImage& Image(std::size_t unit = 0) const { return units_[unit].image; }

    PollStats Stats(std::size_t unit = 0) const;
    // The registers of the relay's last answered poll, all of one poll, with
    // its counts as they stood after that poll's successor, if any; values is
    // left empty until a poll has been answered.
    PollStats LastAnswer(std::size_t unit, std::vector<uint16_t>& values) const;

    // Called on the poll thread after each poll and each job, outside the
    // thread's lock, so that whoever serves the polls wakes on them rather
    // than on a timer. Set before polling starts.
    void SetPollListener(std::function<void()> listener);
    // Runs job on the poll thread between two polls, jobs in the order
    // given, while polling is on (when it is off the master may be in a
    // caller's hands). A job still waiting when the thread ends gets nullptr.
    void RunBetweenPolls(std::function<void(TModBusDevice*)> job);
    // Every relay's counts, and the rare polling of silent ones.
    void ResetStats();
    // The polls since the last call, oldest first, every relay's; at most
    // kMaxSamples per relay are kept when nobody takes them.
    std::vector<PollSample> TakeSamples();
    static constexpr std::size_t kMaxSamples = 4096;

    void Terminate();
    void WaitFor();

private:
    struct Unit {
        Unit(uint8_t address, uint16_t count) : address(address), image(count) {}
        const uint8_t address;
        RegisterImage image;
        PollStats stats;           // guarded by mutex_
        int silentRounds = 0;      // guarded by mutex_
        bool demoted = false;      // silent long enough to be polled rarely
        int roundsSinceRarePoll = 0;
        std::chrono::steady_clock::time_point polledAt{};  // the last poll ended
        std::chrono::steady_clock::duration silentCost{};  // the last silent poll took
        bool due = true;           // polled in the round under way
        std::vector<uint16_t> lastValues;  // guarded by mutex_
    };

    void Execute();
    // Polls the round's next relay; pauses when that ends the round.
    void PollNext(std::unique_lock<std::mutex>& lock);
    void BeginRound();
    // Runs the oldest job, unlocked; false when there was none.
    bool RunJob(std::unique_lock<std::mutex>& lock);
    void Notify();

    const uint16_t count_;
    std::vector<Unit> units_;  // fixed at construction
    std::size_t next_ = 0;     // guarded by mutex_: the round's next relay
    bool roundAnswered_ = false;
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
    std::deque<PollSample> samples_;  // guarded by mutex_
    std::deque<std::function<void(TModBusDevice*)>> jobs_;  // guarded by mutex_
    std::function<void()> listener_;

    std::thread thread_;  // last: starts after every member above exists
};
