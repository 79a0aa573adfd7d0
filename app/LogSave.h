#pragma once

#include <QString>

#include <cstddef>

class ExchangeLog;
class QWidget;

// Saves the log as the operator sees it, as a saved log has it (Windows-1251,
// every line ended by CR LF): the log's lines before the memo's first, from
// the log's file (or memory, for any the file could not take), then the
// memo's own text, edits included. Written whole to a temporary file and
// renamed, so a failure or a cancel leaves any earlier file as it was. A
// long save shows its progress over `parent` and can be cancelled.
class LogSave {
public:
    enum class Result { Saved, Cancelled, Failed };

    // earlierLines: the log's lines before the memo's first, as the mirror
    // left them; none when the memo holds another run of the log.
    LogSave(const ExchangeLog& log, std::size_t earlierLines, const QString& memoText)
        : log_(log), earlierLines_(earlierLines), memoText_(memoText)
    {
    }

    Result WriteTo(const QString& fileName, QWidget* parent);
    const QString& Error() const { return error_; }

private:
    const ExchangeLog& log_;
    std::size_t earlierLines_;
    QString memoText_;
    QString error_;
};
