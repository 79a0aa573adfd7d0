#include "LogMirror.h"

#include "ExchangeLog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

LogMirror::LogMirror(QPlainTextEdit* memo, std::size_t maxLines) : memo_(memo), maxLines_(std::max<std::size_t>(maxLines, 1))
{
    // Every appended line would stay on the undo stack for good.
    memo_->setUndoRedoEnabled(false);
}

void LogMirror::SetMaxLines(std::size_t maxLines)
{
    maxLines_ = std::max<std::size_t>(maxLines, 1);
}

std::size_t LogMirror::MemoLineCount() const
{
    const QTextDocument* doc = memo_->document();
    const int blocks = doc->blockCount();
    return static_cast<std::size_t>(doc->lastBlock().length() <= 1 ? blocks - 1 : blocks);
}

void LogMirror::DropFirstLines(std::size_t count)
{
    QTextDocument* doc = memo_->document();
    QTextCursor cursor(doc);
    // Inside an edit block a cursor does not lay out its line to find its x,
    // which in a long memo can send the layout over every line.
    cursor.beginEditBlock();
    cursor.setPosition(0);
    cursor.setPosition(doc->findBlockByNumber(static_cast<int>(count)).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.endEditBlock();
    windowStart_ += count;
}

void LogMirror::Update(ExchangeLog& log)
{
    if (holds_ > 0)
        return;
    const std::size_t count = log.Count();
    const std::size_t memoLines = MemoLineCount();
    const std::size_t given = mirroredEnd_ - windowStart_;
    const bool sameRun = log.Epoch() == epoch_;
    if (sameRun && count == mirroredEnd_ && memoLines == given)
        return;
    QTextDocument* doc = memo_->document();
    // New text must not drag the view sideways to the ends of long lines.
    QScrollBar* sideways = memo_->horizontalScrollBar();
    const int column = sideways->value();
    const bool unedited = sameRun && !doc->isModified() && memoLines == given;
    std::size_t upTo = 0;
    if (unedited && count > mirroredEnd_) {
        const std::string added = log.TextFrom(mirroredEnd_, "\n", &upTo);
        QTextCursor end(doc);
        end.beginEditBlock();
        end.setPosition(doc->characterCount() - 1);
        end.insertText(QString::fromUtf8(added.data(), static_cast<qsizetype>(added.size())));
        end.endEditBlock();
    } else {
        windowStart_ = count > maxLines_ ? count - maxLines_ : 0;
        const std::string text = log.TextFrom(windowStart_, "\n", &upTo);
        memo_->setPlainText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    }
    mirroredEnd_ = upTo;
    // The oldest lines go a batch at a time: the memo's layout looks at
    // every line again when its widest one goes, so not at every tick.
    // Their text stays in the document's buffer until Qt, finding the
    // buffer nearly full, copies the memo's whole text into a new one,
    // whatever the batch. That copy grows with the memo: 100-250 ms at
    // 100000 lines, under 50 ms at the default 20000 (bench/long_run),
    // which is why the default is not larger.
    if (mirroredEnd_ - windowStart_ > maxLines_)
        DropFirstLines(mirroredEnd_ - windowStart_ - (maxLines_ - maxLines_ / 50));
    epoch_ = log.Epoch();
    doc->setModified(false);  // from here on, any change is the operator's
    sideways->setValue(column);
    log.SpillBefore(windowStart_);
}
