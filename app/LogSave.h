#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>

class ExchangeLog;
class QTextDocument;
class QWidget;

// Saves the log as the operator sees it, as a saved log has it (Windows-1251,
// every line ended by CR LF): the log's lines before the memo's first, from
// the log's file (or memory, for any the file could not take), then the
// memo's own text, edits included. Written a piece at a time, so a save
// costs a few megabytes whatever the log's length, to a temporary file that
// is renamed at the end, so a failure or a cancel leaves any earlier file as
// it was. A long save shows its progress over `parent` and can be cancelled.
class LogSave {
public:
    enum class Result { Saved, Cancelled, Failed };

    // earlierLines: the log's lines before the memo's first, as the mirror
    // left them; none when the memo holds another run of the log. The memo
    // is read as the save goes, between ticks: it must stay as it is until
    // WriteTo returns (LogMirror::Hold).
    LogSave(const ExchangeLog& log, std::size_t earlierLines, const QTextDocument& memo)
        : log_(log), earlierLines_(earlierLines), memo_(memo)
    {
    }

    Result WriteTo(const QString& fileName, QWidget* parent);
    const QString& Error() const { return error_; }

private:
    struct Output;

    // Each writes its part and gives Saved to go on; `done` is how far the
    // save had come before it, `spilled` how many bytes the log's file holds.
    Result WriteSpilled(Output& out, uint64_t spilled);
    Result WriteUnspilled(Output& out, uint64_t done);
    Result WriteMemo(Output& out, uint64_t done);
    Result Put(Output& out, const char* data, std::size_t size, uint64_t done);
    Result Fail(const QString& why);

    const ExchangeLog& log_;
    std::size_t earlierLines_;
    const QTextDocument& memo_;
    QString error_;
};
