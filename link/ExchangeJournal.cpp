#include "ExchangeJournal.h"

#include "Cp1251.h"
#include "DiskFile.h"
#include "FileSync.h"
#include "LocalTime.h"

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

} // namespace

ExchangeJournal::ExchangeJournal(std::filesystem::path folder, DateSource today)
    : folder_(std::move(folder)), today_(std::move(today)), thread_([this] { Execute(); })
{
}

ExchangeJournal::~ExchangeJournal()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        wake_.notify_all();
    }
    thread_.join();
    if (file_) {
        SyncToDisk(file_);
        std::fclose(file_);
    }
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
    written_.wait(lock, [&] { return handled_ >= target; });
    return !health_.failing;
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
        if (unsynced_ || !unwritten_.empty())
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
        TrimUnwritten(dropped);
        for (auto it = unwritten_.begin(); it != unwritten_.end();) {
            if (!WriteOut(*it))
                break;
            it = unwritten_.erase(it);
        }
        Sync();

        lock.lock();
        const bool failing = !unwritten_.empty();
        if (failing && !health_.failing)
            ++health_.failures;
        health_.failing = failing;
        if (failing)
            health_.error = lastError_;
        health_.droppedLines = droppedBefore + dropped;
        handled_ = upTo;
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
        if (!unwritten_.empty() && unwritten_.back().date == run.date) {
            unwritten_.back().bytes += bytes;
            unwritten_.back().lines += lines;
        } else {
            unwritten_.push_back({run.date, std::move(bytes), lines});
        }
    }
}

// While the disk refuses, the oldest whole lines go once too much waits.
void ExchangeJournal::TrimUnwritten(uint64_t& dropped)
{
    std::size_t total = 0;
    for (const Unwritten& chunk : unwritten_)
        total += chunk.bytes.size();
    while (total > kMaxPendingBytes && !unwritten_.empty()) {
        Unwritten& oldest = unwritten_.front();
        const std::size_t excess = total - kMaxPendingBytes;
        std::size_t cut = oldest.bytes.size();
        if (excess < oldest.bytes.size()) {
            const std::size_t end = oldest.bytes.find('\n', excess - 1);
            cut = end == std::string::npos ? oldest.bytes.size() : end + 1;
        }
        std::size_t lines = 0;
        for (std::size_t i = 0; i < cut; ++i)
            lines += oldest.bytes[i] == '\n';
        dropped += lines;
        total -= cut;
        if (cut == oldest.bytes.size()) {
            unwritten_.erase(unwritten_.begin());
        } else {
            oldest.bytes.erase(0, cut);
            oldest.lines -= lines;
        }
    }
}

bool ExchangeJournal::WriteOut(Unwritten& chunk)
{
    const std::filesystem::path path = FileFor(chunk.date);
    std::error_code missing;
    // A file moved or deleted under us would take the lines with it: the
    // journal is wherever its name is.
    if (file_ && (fileDate_ != chunk.date || !std::filesystem::exists(path, missing))) {
        SyncToDisk(file_);
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!file_) {
        std::error_code error;
        std::filesystem::create_directories(folder_, error);
        errno = 0;
        file_ = OpenFile(path, "ab");
        if (!file_) {
            lastError_ = SystemError(errno ? errno : (error ? error.value() : EIO));
            return false;
        }
        // Unbuffered: a short write says how far it got, so the rest can
        // follow it later without a gap or a repeat.
        std::setvbuf(file_, nullptr, _IONBF, 0);
        fileDate_ = chunk.date;
    }
    errno = 0;
    const std::size_t written = std::fwrite(chunk.bytes.data(), 1, chunk.bytes.size(), file_);
    if (written > 0)
        unsynced_ = true;
    if (written < chunk.bytes.size()) {
        lastError_ = SystemError(errno ? errno : EIO);
        for (std::size_t i = 0; i < written; ++i)
            chunk.lines -= chunk.bytes[i] == '\n';
        chunk.bytes.erase(0, written);
        std::fclose(file_);  // opened afresh at the next try
        file_ = nullptr;
        return false;
    }
    return true;
}

void ExchangeJournal::Sync()
{
    const auto now = std::chrono::steady_clock::now();
    if (file_ && unsynced_ && now - lastSync_ >= kSyncEvery) {
        SyncToDisk(file_);
        unsynced_ = false;
        lastSync_ = now;
    }
}
