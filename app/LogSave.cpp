#include "LogSave.h"

#include "Cp1251Qt.h"
#include "ExchangeLog.h"

#include <QCoreApplication>
#include <QProgressDialog>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <vector>

namespace {

constexpr std::size_t kSpillPiece = std::size_t{4} << 20;  // bytes read from the log's file at a time
constexpr std::size_t kLinesAtATime = 20000;             // of those the log still holds
constexpr qsizetype kMemoPiece = qsizetype{1} << 20;     // memo characters converted at a time

// A memo line as QTextDocument::toPlainText gives it, which saved logs have
// always followed: a typed line break or no-break space as plain text has it.
QString PlainText(const QTextBlock& block)
{
    QString text = block.text();
    for (QChar& c : text) {
        switch (c.unicode()) {
        case 0xfdd0:  // a frame's start and end
        case 0xfdd1:
        case QChar::ParagraphSeparator:
        case QChar::LineSeparator:
            c = u'\n';
            break;
        case QChar::Nbsp:
            c = u' ';
            break;
        default:
            break;
        }
    }
    return text;
}

} // namespace

struct LogSave::Output {
    QSaveFile& file;
    QProgressDialog& progress;
    uint64_t total;  // the spilled bytes and the memo's characters, as `done` counts them
};

LogSave::Result LogSave::WriteTo(const QString& fileName, QWidget* parent)
{
    QSaveFile file(fileName);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return Fail(file.errorString());
    QProgressDialog progress(QString::fromUtf8("Сохранение журнала..."), QString::fromUtf8("Отмена"), 0, 1000, parent);
    progress.setObjectName("SaveProgress");
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(500);
    progress.setValue(0);
    // The log's file holds lines before the memo's first only, and no more
    // come while the mirror is held.
    const uint64_t spilled = earlierLines_ > 0 ? log_.SpilledBytes() : 0;
    Output out{file, progress, spilled + static_cast<uint64_t>(memo_.characterCount())};
    Result result = WriteSpilled(out, spilled);
    if (result == Result::Saved)
        result = WriteUnspilled(out, spilled);
    if (result == Result::Saved)
        result = WriteMemo(out, spilled);
    if (result == Result::Saved && !file.commit())
        return Fail(file.errorString());
    return result;
}

LogSave::Result LogSave::WriteSpilled(Output& out, uint64_t spilled)
{
    std::vector<char> buffer(static_cast<std::size_t>(std::min<uint64_t>(kSpillPiece, spilled)));
    for (uint64_t done = 0; done < spilled;) {
        const std::size_t got = log_.ReadSpilled(done, buffer.data(), std::min<uint64_t>(buffer.size(), spilled - done));
        if (got == 0)
            return Fail(QString::fromUtf8("не удалось прочитать ранние строки журнала"));
        done += got;
        if (const Result result = Put(out, buffer.data(), got, done); result != Result::Saved)
            return result;
    }
    return Result::Saved;
}

// The lines before the memo's first that the log's file could not take.
LogSave::Result LogSave::WriteUnspilled(Output& out, uint64_t done)
{
    for (std::size_t first = log_.FirstInMemory(); first < earlierLines_; first += kLinesAtATime) {
        const std::string text = log_.SavedText(first, std::min(first + kLinesAtATime, earlierLines_));
        if (const Result result = Put(out, text.data(), text.size(), done); result != Result::Saved)
            return result;
    }
    return Result::Saved;
}

// The memo's text as toPlainText gives it, cut into lines at '\n' with an
// empty rest after the last break left out, each line ended by CR LF.
LogSave::Result LogSave::WriteMemo(Output& out, uint64_t done)
{
    QString piece;
    for (QTextBlock block = memo_.begin(); block.isValid(); block = block.next()) {
        const QString line = PlainText(block);
        const bool last = !block.next().isValid();
        piece += line;
        if (!last || (!line.isEmpty() && !line.endsWith(u'\n')))
            piece += u'\n';
        if (piece.size() < kMemoPiece && !last)
            continue;
        done += static_cast<uint64_t>(piece.size());
        piece.replace(u'\n', QStringLiteral("\r\n"));
        const QByteArray bytes = ToCp1251(piece);
        if (const Result result = Put(out, bytes.data(), static_cast<std::size_t>(bytes.size()), done);
            result != Result::Saved)
            return result;
        piece.resize(0);
    }
    return Result::Saved;
}

// Writes a piece, then shows how far the save has come and lets the event
// loop run, for the cancel button and the ticks.
LogSave::Result LogSave::Put(Output& out, const char* data, std::size_t size, uint64_t done)
{
    if (out.file.write(data, static_cast<qint64>(size)) != static_cast<qint64>(size))
        return Fail(out.file.errorString());
    out.progress.setValue(static_cast<int>(done * 1000 / std::max<uint64_t>(out.total, 1)));
    QCoreApplication::processEvents();
    return out.progress.wasCanceled() ? Result::Cancelled : Result::Saved;
}

LogSave::Result LogSave::Fail(const QString& why)
{
    error_ = why;
    return Result::Failed;
}
