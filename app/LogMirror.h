#pragma once

#include <cstddef>
#include <cstdint>

class ExchangeLog;
class QPlainTextEdit;

// Keeps the log memo a copy of the newest lines of the exchange log, one
// memo line per log line, at most maxLines of them. Lines older than that
// leave the memo and the log's memory for the log's file, so a run of days
// costs no more memory than a run of hours. The memo is replaced when its
// line count differs from what it was given, as the operator expects (an
// edit that keeps the count stays until the log grows); while it holds an
// unedited copy only the new lines are appended, so a tick costs the new
// lines and not the whole log. A log that was cleared or replaced by a
// rebuild of the link is copied anew, whatever its line count.
class LogMirror {
public:
    static constexpr std::size_t kDefaultMaxLines = 20000;

    explicit LogMirror(QPlainTextEdit* memo, std::size_t maxLines = kDefaultMaxLines);

    // While one lives, updates leave the memo as it is: a save reads it a
    // piece at a time, between ticks. The first update after catches up.
    class Hold {
    public:
        explicit Hold(LogMirror& mirror) : mirror_(mirror) { ++mirror_.holds_; }
        ~Hold() { --mirror_.holds_; }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        LogMirror& mirror_;
    };

    void SetMaxLines(std::size_t maxLines);
    void Update(ExchangeLog& log);
    // Lines in the memo; an empty last line after the final break does not count.
    std::size_t MemoLineCount() const;
    // The log's lines before the memo's first one, as of the last update.
    std::size_t EarlierLines() const { return windowStart_; }
    // The run of the log those lines came from (ExchangeLog::Epoch).
    uint64_t Epoch() const { return epoch_; }

private:
    void DropFirstLines(std::size_t count);

    QPlainTextEdit* memo_;
    std::size_t maxLines_;
    std::size_t windowStart_ = 0;  // the log's index of the memo's first line
    std::size_t mirroredEnd_ = 0;  // and one past its last, after the last update
    uint64_t epoch_ = 0;
    int holds_ = 0;
};
