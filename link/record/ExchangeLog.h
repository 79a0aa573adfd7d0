#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class ExchangeJournal;

// The time-stamped lines of every exchange since the log was made or last
// cleared. Appended to by the poll thread and the UI thread, read, spilled
// and cleared by the UI thread: every access locks. Lines in memory are
// packed into large blocks (a line costs its text and a dozen bytes); the
// UI moves the lines nobody looks at any more to a file of the log's own,
// so that a run of days holds only the newest lines in memory and still
// has every one of them.
class ExchangeLog {
public:
    ExchangeLog();
    ~ExchangeLog();
    ExchangeLog(const ExchangeLog&) = delete;
    ExchangeLog& operator=(const ExchangeLog&) = delete;

    // Every line added from now on goes to the journal too, in the log's
    // order; none when null. The journal must outlive the log or be unset.
    void SetJournal(ExchangeJournal* journal);

    void Add(std::string_view line);
    // A line for the journal alone, in its place among the log's: what the
    // log itself must not show.
    void JournalOnly(std::string_view line);
    std::size_t Count() const;
    std::string Line(std::size_t index) const;  // empty when out of range
    std::vector<std::string> Lines() const;
    // Every line followed by CR LF.
    std::string Text() const { return TextFrom(0, "\r\n"); }
    // Lines first..Count()-1, each followed by lineEnd; *end, when given,
    // receives the count the text goes up to (appends may come meanwhile).
    std::string TextFrom(std::size_t first, std::string_view lineEnd,
                         std::size_t* end = nullptr) const;
    void Clear();
    // Names the run of lines since this log was made or last cleared, unique
    // in the process: a reader that copied lines of one run can tell that a
    // log with as many lines or more is another run.
    uint64_t Epoch() const;

    // Moves the lines before `index` out of memory into the log's file, as
    // the bytes a saved log has (Windows-1251, CR LF). False, with the
    // lines kept in memory, when the file cannot be written. UI thread.
    bool SpillBefore(std::size_t index);
    // The first line still in memory: lines before it are in the file.
    std::size_t FirstInMemory() const;
    // The size of those lines' bytes, and a piece of them. UI thread.
    uint64_t SpilledBytes() const;
    std::size_t ReadSpilled(uint64_t offset, char* buffer, std::size_t size) const;
    // Lines first..last-1 of those in memory as a saved log has them.
    std::string SavedText(std::size_t first, std::size_t last) const;

    // Heap bytes held, for the benchmarks.
    std::size_t MemoryBytes() const;

private:
    struct Ref {
        uint64_t block;  // counted from the first block ever made
        uint32_t offset;
        uint32_t length;
    };
    class SpillFile;
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

    std::string_view At(const Ref& ref) const;
    // Spilled lines first..last-1 appended to out, each followed by lineEnd.
    void ReadSpilledLines(std::size_t first, std::size_t last, std::string_view lineEnd,
                          std::string& out) const;
    void AppendInMemory(std::size_t first, std::string_view lineEnd, std::string& out) const;

    // Held around the file's use, so that its disk work never holds up Add.
    mutable std::mutex spillMutex_;
    mutable std::mutex mutex_;
    std::deque<std::string> blocks_;  // each filled up to its reserved size
    uint64_t firstBlock_ = 0;         // the number of blocks_.front()
    std::deque<Ref> refs_;            // the lines from first_ on
    std::size_t first_ = 0;           // lines before it are spilled
    uint64_t epoch_;
    ExchangeJournal* journal_ = nullptr;
    std::unique_ptr<SpillFile> spill_;  // made at the first spill, guarded by spillMutex_
};
