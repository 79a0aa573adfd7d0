#pragma once

#include <cstddef>
#include <cstdint>

class ExchangeLog;
class QPlainTextEdit;

// Keeps the log memo a copy of the exchange log, one memo line per log line.
// The memo is replaced whole when the line counts differ, as the operator
// expects; but while it still holds an unedited copy, only the new lines are
// appended, so a tick costs the new lines and not the whole log. A log
// that was cleared or replaced by a rebuild of the link is copied whole,
// whatever its line count.
class LogMirror {
public:
    explicit LogMirror(QPlainTextEdit* memo) : memo_(memo) {}

    void Update(const ExchangeLog& log);
    // Lines in the memo; an empty last line after the final break does not count.
    std::size_t MemoLineCount() const;

private:
    QPlainTextEdit* memo_;
    std::size_t mirrored_ = 0;  // log lines the memo held after the last update
    uint64_t epoch_ = 0;        // the run of the log those lines came from
};
