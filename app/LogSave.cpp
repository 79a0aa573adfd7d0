#include "LogSave.h"

#include "Cp1251Qt.h"
#include "ExchangeLog.h"

#include <QCoreApplication>
#include <QProgressDialog>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <vector>

LogSave::Result LogSave::WriteTo(const QString& fileName, QWidget* parent)
{
    QString text;
    QStringList lines = memoText_.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (const QString& line : lines)
        text += line + "\r\n";
    const QByteArray memoBytes = ToCp1251(text);
    // Taken now: ticks during the save may move more lines to the file, after these.
    const uint64_t spilled = earlierLines_ > 0 ? log_.SpilledBytes() : 0;
    const std::string unspilled = log_.SavedText(log_.FirstInMemory(), earlierLines_);

    QSaveFile file(fileName);
    file.setDirectWriteFallback(false);
    auto fail = [&](const QString& why) {
        error_ = why;
        return Result::Failed;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    QProgressDialog progress(QString::fromUtf8("Сохранение журнала..."), QString::fromUtf8("Отмена"), 0, 1000, parent);
    progress.setObjectName("SaveProgress");
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(500);
    progress.setValue(0);
    constexpr std::size_t kChunk = std::size_t{4} << 20;
    std::vector<char> buffer(kChunk);
    for (uint64_t done = 0; done < spilled;) {
        const std::size_t got = log_.ReadSpilled(done, buffer.data(), std::min<uint64_t>(kChunk, spilled - done));
        if (got == 0)
            return fail(QString::fromUtf8("не удалось прочитать ранние строки журнала"));
        if (file.write(buffer.data(), static_cast<qint64>(got)) != static_cast<qint64>(got))
            return fail(file.errorString());
        done += got;
        progress.setValue(static_cast<int>(done * 1000 / spilled));
        QCoreApplication::processEvents();
        if (progress.wasCanceled()) {
            file.cancelWriting();
            return Result::Cancelled;
        }
    }
    if (file.write(unspilled.data(), static_cast<qint64>(unspilled.size())) != static_cast<qint64>(unspilled.size())
        || file.write(memoBytes) != memoBytes.size() || !file.commit())
        return fail(file.errorString());
    return Result::Saved;
}
