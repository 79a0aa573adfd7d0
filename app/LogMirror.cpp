#include "LogMirror.h"

#include "ExchangeLog.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

std::size_t LogMirror::MemoLineCount() const
{
    const QTextDocument* doc = memo_->document();
    const int blocks = doc->blockCount();
    return static_cast<std::size_t>(doc->lastBlock().length() <= 1 ? blocks - 1 : blocks);
}

void LogMirror::Update(const ExchangeLog& log)
{
    const std::size_t memoLines = MemoLineCount();
    const bool sameRun = log.Epoch() == epoch_;
    if (sameRun && memoLines == log.Count())
        return;
    QTextDocument* doc = memo_->document();
    // New text must not drag the view sideways to the ends of long lines.
    QScrollBar* sideways = memo_->horizontalScrollBar();
    const int column = sideways->value();
    const bool unedited = sameRun && !doc->isModified() && memoLines == mirrored_;
    std::size_t upTo = 0;
    if (unedited && log.Count() > mirrored_) {
        const std::string added = log.TextFrom(mirrored_, "\n", &upTo);
        QTextCursor end(doc);
        end.movePosition(QTextCursor::End);
        end.insertText(QString::fromUtf8(added.data(), static_cast<qsizetype>(added.size())));
    } else {
        const std::string all = log.TextFrom(0, "\n", &upTo);
        memo_->setPlainText(QString::fromUtf8(all.data(), static_cast<qsizetype>(all.size())));
    }
    mirrored_ = upTo;
    epoch_ = log.Epoch();
    doc->setModified(false);  // from here on, any change is the operator's
    sideways->setValue(column);
}
