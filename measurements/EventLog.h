#pragma once

#include "Event.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

// The events: the newest kMaxEvents in memory for the window, and every one
// in a file a day ("ZaritMon-events-YYYY-MM-DD.csv", Windows-1251, ";")
// beside the exchange journal, each line flushed as it is written. A file
// never holds a torn line, and one deleted or moved away is made afresh. A
// file that cannot be written does not stop anything: the failure is
// counted once until the file takes lines again, and the events not yet
// written stay among those in memory and are written, in order, once it
// does. An event that leaves memory unwritten is lost: counted, and
// reported at the end.
class EventLog {
public:
    static constexpr std::size_t kMaxEvents = 100000;

    explicit EventLog(std::string decimalSeparator = ",") : separator_(std::move(decimalSeparator)) {}
    // Tries the events still unwritten once more.
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Where the files go; none: nowhere. Events not yet written go to the new folder.
    void SetFolder(std::optional<std::filesystem::path> folder);
    void Add(const Event& event);
    // Writes the events the file refused so far, if it takes them now.
    void WriteHeld();

    const std::deque<Event>& Events() const { return events_; }
    // Events added since the start, and the number of the first one held.
    uint64_t Added() const { return added_; }
    uint64_t FirstHeld() const { return added_ - events_.size(); }
    // Events written to a file (or added while there was none to write to).
    uint64_t Written() const { return written_ - lost_; }
    // Events that left memory before a file took them.
    uint64_t Lost() const { return lost_; }

    // Events that no file took: not written yet, or gone from memory first.
    uint64_t Unwritten() const { return lost_ + (folder_ ? added_ - written_ : 0); }
    bool Failing() const { return failing_; }
    uint64_t Failures() const { return failures_; }
    const std::string& Error() const { return error_; }
    std::filesystem::path FileFor(const std::string& date) const;
    // A day's file in a folder, and the days that have one there, in order:
    // for those that read the files back.
    static std::filesystem::path DayFile(const std::filesystem::path& folder, const std::string& date);
    static std::set<std::string> Days(const std::filesystem::path& folder);

private:
    bool WriteFromMemory();
    bool WriteDay(const std::string& date, const std::string& lines);
    // The day's file open for appending, after its last whole line.
    bool Ready(const std::string& date);
    bool Open(const std::string& date);
    void Close();

    std::string separator_;
    std::deque<Event> events_;
    uint64_t added_ = 0;
    uint64_t written_ = 0;  // events before it are in a file, or were for none
    uint64_t lost_ = 0;     // left memory before the file took them
    std::optional<std::filesystem::path> folder_;
    std::FILE* file_ = nullptr;
    std::string fileDate_;
    uint64_t fileLength_ = 0;
    // Where a failed write started: the file is cut back to it before the
    // next one, so that a line it took in part never stays torn.
    std::optional<std::pair<std::filesystem::path, uint64_t>> cut_;
    bool failing_ = false;
    uint64_t failures_ = 0;
    std::string error_;
};
