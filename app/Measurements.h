#pragma once

// What the monitor keeps of the measurements beyond the display: the link's
// health in words, a bounded history for the trends, and lines for a
// recording. Plain C++, without any window.

#include "TDeviceControl.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct TimeOfDayParts {
    int hour = 0, minute = 0, second = 0;
};

// "Связь: есть ответ · последний ответ 9:05:07 · опросов 12, ответов 11,
// таймаутов 1, ошибок CRC 0". lastAnswer is the local time of the last
// answer, used when stats.answered > 0.
std::string LinkHealthText(const PollStats& stats, const TimeOfDayParts& lastAnswer);

// The currents of the trends, in hundredths of an ampere.
enum Series { kIA, kIB, kIC, k3I0, kSeriesCount };

struct TrendPoint {
    int64_t ms;  // since the epoch
    std::array<uint16_t, kSeriesCount> values;
};

// The trend history: accepted polls only, at most one point per kSpacingMs
// (a later poll within it replaces the point), and never more than
// kCapacity points, so an hour at full detail fits and a run of days costs
// no more.
class TrendHistory {
public:
    static constexpr int64_t kSpacingMs = 100;
    static constexpr std::size_t kCapacity = 36000;  // 60 minutes at kSpacingMs

    void Add(int64_t ms, const std::vector<uint16_t>& registers);
    // Points no older than `sinceMs`, oldest first.
    std::vector<TrendPoint> Since(int64_t sinceMs) const;
    std::size_t Size() const { return points_.size(); }
    void Clear() { points_.clear(), ++revision_; }
    // Changes with every Add and Clear: a plot of the same revision is current.
    uint64_t Revision() const { return revision_; }

private:
    std::deque<TrendPoint> points_;
    uint64_t revision_ = 0;
};

// One recorded poll: "2026-12-07 09:05:07.045;12,34;...;10000001;1010".
// `local` is the broken-down local time of `ms`.
struct LocalStamp {
    int year, month, day, hour, minute, second, millisecond;
};
std::string RecordLine(const LocalStamp& local, const std::vector<uint16_t>& registers,
                       const std::string& decimalSeparator);
LocalStamp ToLocalStamp(std::chrono::system_clock::time_point at);

// A recording file: every line flushed as it is written, so that a crash
// loses at most the line being written; the first failure closes it and
// keeps its reason.
class Recording {
public:
    Recording() = default;
    ~Recording() { Stop(); }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    bool Start(const std::string& path, const std::string& header);
    bool Write(const std::string& line);
    void Stop();
    bool Active() const { return file_ != nullptr; }
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }

private:
    bool Put(const std::string& line);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string error_;
};
