#pragma once

#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The record on disk of every exchange line, kept across clears and rebuilds
// of the link: one file a day, "ZaritMon-YYYY-MM-DD.log" in its folder, in
// the bytes a saved log has (Windows-1251, CR LF). Lines are handed over in
// memory and written by a thread of its own within kFlushEvery, so a killed
// process loses at most that much; the disk is asked to keep them within a
// second. With nothing to write the thread sleeps. Appending never waits for the disk. A journal that cannot
// be written, or whose disk will not keep what it took, holds its lines (up
// to maxHeldBytes) and tries again; the oldest lines beyond that are dropped
// and a line "пропущено N строк" takes their place in the file. Lines still
// held when the journal closes are counted for its owner and reported on
// stderr.
class ExchangeJournal {
public:
    struct Date {
        int year = 0, month = 0, day = 0;
        auto operator<=>(const Date&) const = default;
    };
    // The local date now; the date a line is appended on names its file.
    using DateSource = std::function<Date()>;

    struct Health {
        bool failing = false;
        std::string error;          // the system's words for the last failure
        uint64_t failures = 0;      // episodes of failure since the start
        uint64_t droppedLines = 0;  // lost because failing lasted too long
    };

    static constexpr std::chrono::milliseconds kFlushEvery{150};
    static constexpr std::chrono::milliseconds kSyncEvery{1000};
    static constexpr std::size_t kMaxPendingBytes = std::size_t{64} << 20;

    // maxHeldBytes: how much a failing disk may leave waiting in memory.
    explicit ExchangeJournal(std::filesystem::path folder, DateSource today = LocalToday,
                             std::size_t maxHeldBytes = kMaxPendingBytes);
    // Closes it, if not closed yet.
    ~ExchangeJournal();
    ExchangeJournal(const ExchangeJournal&) = delete;
    ExchangeJournal& operator=(const ExchangeJournal&) = delete;

    void Append(std::string_view line);
    // Waits until every line appended before the call was written or has
    // failed; true when all of them were written. The disk is asked to keep
    // them within kSyncEvery; its refusal then is a failure as well.
    bool Flush();
    Health State() const;
    // Writes what was appended, tries once more what the disk refused, and
    // ends the writer: the lines that still could not be written (dropped
    // ones too, while no line in the file tells of them). Lines appended
    // after it are not written, and counted with those.
    uint64_t Close();
    void SetDateSource(DateSource today);

    const std::filesystem::path& Folder() const { return folder_; }
    std::filesystem::path FileFor(const Date& date) const;
    static Date LocalToday();

private:
    // Lines of one date, as they were appended, each ended by '\n'.
    struct DateRun {
        Date date;
        std::string text;
    };
    // The same lines in the file's bytes, not yet (wholly) written; a
    // chunk always starts at a line boundary of its file.
    struct Unwritten {
        Date date;
        std::string bytes;
        uint64_t skipped = 0;   // lines dropped before bytes, written as one line
        std::string skipStamp;  // the time stamp of the first of them
        // The file's length to cut back to before writing: what a failed
        // write or sync may have left after it is not trusted.
        std::optional<uint64_t> cutTo;
    };

    void Execute();
    void Write(std::vector<DateRun>& runs);
    void WriteHeld();
    bool WriteOut(Unwritten& chunk);
    bool Open(Unwritten& chunk);
    bool Put(const std::string& bytes);
    void Sync();
    bool Settle();
    bool CloseFile();
    void Rewind();
    void TrimUnwritten(uint64_t& dropped);
    uint64_t UnwrittenLines() const;

    const std::filesystem::path folder_;
    const std::size_t maxHeldBytes_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable written_;
    DateSource today_;               // guarded by mutex_
    std::vector<DateRun> pending_;   // guarded by mutex_
    std::size_t pendingBytes_ = 0;   // guarded by mutex_
    uint64_t appended_ = 0;          // lines handed over, guarded by mutex_
    uint64_t handled_ = 0;           // lines written or kept for a retry, guarded by mutex_
    bool flushRequested_ = false;    // guarded by mutex_
    bool stop_ = false;              // guarded by mutex_
    bool stopped_ = false;           // the writer has ended, guarded by mutex_
    Health health_;                  // guarded by mutex_

    // The writer thread's own.
    std::deque<Unwritten> unwritten_;
    std::FILE* file_ = nullptr;
    Date fileDate_;
    uint64_t fileLength_ = 0;  // as far as this journal wrote it
    uint64_t fileKept_ = 0;    // up to where the disk said it keeps it
    std::string unsynced_;     // the bytes in between, until the disk says so
    std::chrono::steady_clock::time_point lastSync_{};
    std::string lastError_;

    std::thread thread_;  // last: starts after every member above exists
};
