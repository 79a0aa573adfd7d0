#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The time-stamped lines of every exchange. Appended to by the poll thread
// and the UI thread, read and cleared by the UI thread: every access locks.
// It is never trimmed while the program runs for days, so lines are packed
// into large blocks: a line costs its text and a dozen bytes.
class ExchangeLog {
public:
    ExchangeLog();
    void Add(std::string_view line);
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
    // Heap bytes held, for the benchmarks.
    std::size_t MemoryBytes() const;

private:
    struct Ref {
        uint32_t block;
        uint32_t offset;
        uint32_t length;
    };
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

    std::string_view At(const Ref& ref) const;

    mutable std::mutex mutex_;
    std::vector<std::string> blocks_;  // each filled up to its reserved size
    std::vector<Ref> refs_;
    uint64_t epoch_;
};
