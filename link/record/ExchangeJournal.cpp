#include "ExchangeJournal.h"

#include "Cp1251.h"
#include "DiskFile.h"
#include "FileSync.h"
#include "LocalTime.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

// A burst of lines this large is written at once rather than at the next turn.
constexpr std::size_t kBurstBytes = std::size_t{4} << 20;

std::string SystemError(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// Windows-1251 with every line ended by CR LF instead of LF.
std::string FileBytes(const std::string& text, std::size_t& lines)
{
    const std::string single = Utf8ToCp1251(text);
    std::string bytes;
    bytes.reserve(single.size() + single.size() / 16);
    lines = 0;
    for (char c : single) {
        if (c == '\n') {
            bytes += '\r';
            ++lines;
        }
        bytes += c;
    }
    return bytes;
}

uint64_t CountLines(const std::string& bytes, std::size_t end)
{
    return static_cast<uint64_t>(std::count(bytes.begin(), bytes.begin() + static_cast<long>(end), '\n'));
}

// The time stamp a line starts with, up to its tab; now for a line without one.
std::string StampOf(const std::string& bytes)
{
    const std::size_t tab = bytes.find('\t');
    if (tab != std::string::npos && tab < bytes.find('\n'))
        return bytes.substr(0, tab);
    const LocalTime t = LocalNow();
    return FormatLogTime(t.hour, t.minute, t.second, t.millisecond);
}

// Where lines were dropped, in the form of the journal's own lines.
std::string GapLine(const std::string& stamp, uint64_t lines)
{
    std::size_t ignored = 0;
    return FileBytes(stamp + "\tпропущено " + std::to_string(lines) + " строк\n", ignored);
}

} // namespace

ExchangeJournal::ExchangeJournal(std::filesystem::path folder, DateSource today, std::size_t maxHeldBytes)
    : folder_(std::move(folder)), maxHeldBytes_(maxHeldBytes), today_(std::move(today)),
      thread_([this] { Execute(); })
{
}

ExchangeJournal::~ExchangeJournal()
{
    // At the end nobody else can hear of lines the disk would not take.
    if (const uint64_t lines = Close())
        std::fprintf(stderr, "zaritmon: %llu lines of the exchange journal could not be written to %s (%s)\n",
                     static_cast<unsigned long long>(lines), reinterpret_cast<const char*>(folder_.u8string().c_str()),
                     lastError_.c_str());
}

uint64_t ExchangeJournal::Close()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    return UnwrittenLines();
}

// Once the writer has ended.
uint64_t ExchangeJournal::UnwrittenLines() const
{
    std::lock_guard lock(mutex_);
    uint64_t lines = appended_ - handled_;
    for (const Unwritten& chunk : unwritten_)
        lines += CountLines(chunk.bytes, chunk.bytes.size()) + chunk.skipped;
    return lines;
}

ExchangeJournal::Date ExchangeJournal::LocalToday()
{
    const LocalTime now = LocalNow();
    return {now.year, now.month, now.day};
}

std::filesystem::path ExchangeJournal::FileFor(const Date& date) const
{
    char name[40];
    std::snprintf(name, sizeof name, "ZaritMon-%04d-%02d-%02d.log", date.year, date.month, date.day);
    return folder_ / name;
}

void ExchangeJournal::SetDateSource(DateSource today)
{
    std::lock_guard lock(mutex_);
    today_ = std::move(today);
}

void ExchangeJournal::Append(std::string_view line)
{
    std::lock_guard lock(mutex_);
    const Date date = today_();
    if (pending_.empty())
        wake_.notify_one();
    if (pending_.empty() || pending_.back().date != date)
        pending_.push_back({date, {}});
    std::string& text = pending_.back().text;
    text.append(line);
    text += '\n';
    pendingBytes_ += line.size() + 1;
    ++appended_;
    if (pendingBytes_ >= kBurstBytes)
        wake_.notify_one();
}

bool ExchangeJournal::Flush()
{
    std::unique_lock lock(mutex_);
    const uint64_t target = appended_;
    flushRequested_ = true;
    wake_.notify_all();
    written_.wait(lock, [&] { return handled_ >= target || stopped_; });
    return !health_.failing && handled_ >= target;
}

ExchangeJournal::Health ExchangeJournal::State() const
{
    std::lock_guard lock(mutex_);
    return health_;
}

void ExchangeJournal::Execute()
{
    KeepRunningAtFileSizeLimit();
    std::unique_lock lock(mutex_);
    for (;;) {
        // Asleep while there is nothing to write, so an idle journal costs
        // nothing; awake within a second to sync the last write or to try
        // again what the disk refused.
        auto due = [this] { return stop_ || flushRequested_ || !pending_.empty(); };
        if (!unsynced_.empty() || !unwritten_.empty())
            wake_.wait_for(lock, kSyncEvery, due);
        else
            wake_.wait(lock, due);
        // Then a flush interval to gather the lines that follow into one write.
        wake_.wait_for(lock, kFlushEvery,
                       [this] { return stop_ || flushRequested_ || pendingBytes_ >= kBurstBytes; });
        std::vector<DateRun> runs;
        runs.swap(pending_);
        pendingBytes_ = 0;
        flushRequested_ = false;
        const uint64_t upTo = appended_;
        const bool stopping = stop_;
        const uint64_t droppedBefore = health_.droppedLines;
        lock.unlock();

        uint64_t dropped = 0;
        Write(runs);
        WriteHeld();
        // Closing asks the disk to keep everything: refused, one more try.
        if (stopping && !CloseFile()) {
            WriteHeld();
            CloseFile();
        }
        Sync();
        TrimUnwritten(dropped);

        lock.lock();
        const bool failing = !unwritten_.empty();
        if (failing && !health_.failing)
            ++health_.failures;
        health_.failing = failing;
        if (failing)
            health_.error = lastError_;
        health_.droppedLines = droppedBefore + dropped;
        handled_ = upTo;
        stopped_ = stopping;
        written_.notify_all();
        if (stopping)
            return;
    }
}

void ExchangeJournal::Write(std::vector<DateRun>& runs)
{
    for (DateRun& run : runs) {
        std::size_t lines = 0;
        std::string bytes = FileBytes(run.text, lines);
        if (!unwritten_.empty() && unwritten_.back().date == run.date)
            unwritten_.back().bytes += bytes;
        else
            unwritten_.push_back({run.date, std::move(bytes), 0, {}, {}});
    }
}

void ExchangeJournal::WriteHeld()
{
    while (!unwritten_.empty() && WriteOut(unwritten_.front()))
        unwritten_.pop_front();
}

// While the disk refuses, the oldest whole lines go once too much waits; a
// chunk emptied so stays for the line that tells of them in its file.
void ExchangeJournal::TrimUnwritten(uint64_t& dropped)
{
    std::size_t total = 0;
    for (const Unwritten& chunk : unwritten_)
        total += chunk.bytes.size();
    for (Unwritten& chunk : unwritten_) {
        if (total <= maxHeldBytes_)
            break;
        const std::size_t excess = total - maxHeldBytes_;
        std::size_t cut = chunk.bytes.size();
        if (excess < chunk.bytes.size()) {
            const std::size_t end = chunk.bytes.find('\n', excess - 1);
            cut = end == std::string::npos ? chunk.bytes.size() : end + 1;
        }
        if (cut == 0)
            continue;
        const uint64_t lines = CountLines(chunk.bytes, cut);
        if (chunk.skipped == 0)
            chunk.skipStamp = StampOf(chunk.bytes);
        chunk.skipped += lines;
        dropped += lines;
        total -= cut;
        chunk.bytes.erase(0, cut);
    }
}

bool ExchangeJournal::WriteOut(Unwritten& chunk)
{
    std::error_code missing;
    // A file moved or deleted under us would take the lines with it: the
    // journal is wherever its name is.
    if (file_ && (fileDate_ != chunk.date || !std::filesystem::exists(FileFor(chunk.date), missing))
        && !CloseFile())
        return false;
    if (!file_ && !Open(chunk))
        return false;
    const std::string gap = chunk.skipped ? GapLine(chunk.skipStamp, chunk.skipped) : std::string();
    const uint64_t before = fileLength_;
    if (!Put(gap) || !Put(chunk.bytes)) {
        // Whatever part of a line the file took is cut off before the
        // next try, so the file never holds a torn line.
        chunk.cutTo = before;
        CloseFile();
        return false;
    }
    fileLength_ += gap.size() + chunk.bytes.size();
    unsynced_ += gap;
    unsynced_ += chunk.bytes;
    return true;
}

bool ExchangeJournal::Open(Unwritten& chunk)
{
    const std::filesystem::path path = FileFor(chunk.date);
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (chunk.cutTo) {
        if (const std::error_code cut = CutBack(path, *chunk.cutTo)) {
            lastError_ = cut.message();
            return false;
        }
    }
    errno = 0;
    file_ = OpenFile(path, "ab");
    if (!file_) {
        lastError_ = SystemError(errno ? errno : (error ? error.value() : EIO));
        return false;
    }
    // Unbuffered: what a write reports is what the system took.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    const uint64_t length = std::filesystem::file_size(path, error);
    if (error) {
        lastError_ = error.message();
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    chunk.cutTo.reset();
    fileDate_ = chunk.date;
    fileLength_ = fileKept_ = length;
    return true;
}

bool ExchangeJournal::Put(const std::string& bytes)
{
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size())
        return true;
    lastError_ = SystemError(errno ? errno : EIO);
    return false;
}

void ExchangeJournal::Sync()
{
    if (std::chrono::steady_clock::now() - lastSync_ >= kSyncEvery)
        Settle();
}

// Asks the disk to keep what was written; if it will not, those lines are
// held again, to be written from where the disk last said it kept the file.
bool ExchangeJournal::Settle()
{
    if (!file_ || unsynced_.empty())
        return true;
    errno = 0;
    if (!SyncToDisk(file_)) {
        lastError_ = SystemError(errno ? errno : EIO);
        Rewind();
        return false;
    }
    fileKept_ = fileLength_;
    unsynced_.clear();
    lastSync_ = std::chrono::steady_clock::now();
    return true;
}

bool ExchangeJournal::CloseFile()
{
    const bool kept = Settle();
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    return kept;
}

void ExchangeJournal::Rewind()
{
    std::fclose(file_);
    file_ = nullptr;
    // Those lines come before the next chunk, which follows them in the file.
    if (!unwritten_.empty() && unwritten_.front().date == fileDate_)
        unwritten_.front().cutTo.reset();
    unwritten_.push_front({fileDate_, std::move(unsynced_), 0, {}, fileKept_});
    unsynced_.clear();
}
