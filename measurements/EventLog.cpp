#include "EventLog.h"

#include "Cp1251.h"
#include "DiskFile.h"
#include "FileSync.h"
#include "LocalTime.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace {

std::string DateOf(const Event& event)
{
    const LocalTime t = ToLocal(event.at);
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.year, t.month, t.day);
    return date;
}

std::string SystemError(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// The length of a file up to the end of its last whole line; the size of
// one that cannot be read, which is then not cut.
uint64_t WholeLinesLength(const std::filesystem::path& path)
{
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(path, error);
    if (error || size == 0)
        return error ? UINT64_MAX : 0;
    std::FILE* file = OpenFile(path, "rb");
    if (!file)
        return UINT64_MAX;
    // Back from the end, a block at a time, to the last line end.
    char block[4096];
    uint64_t end = size;
    uint64_t whole = 0;
    bool found = false;
    while (end > 0 && !found) {
        const uint64_t from = end > sizeof block ? end - sizeof block : 0;
        const std::size_t n = static_cast<std::size_t>(end - from);
        if (std::fseek(file, static_cast<long>(from), SEEK_SET) != 0 || std::fread(block, 1, n, file) != n) {
            whole = UINT64_MAX;
            break;
        }
        for (std::size_t i = n; i > 0 && !found; --i)
            if (block[i - 1] == '\n') {
                whole = from + i;
                found = true;
            }
        end = from;
    }
    std::fclose(file);
    return whole;
}

} // namespace

EventLog::~EventLog()
{
    WriteHeld();
    Close();
    const uint64_t unwritten = Unwritten();
    if (unwritten > 0)
        std::fprintf(stderr, "zaritmon: %llu events could not be written to %s (%s)\n",
                     static_cast<unsigned long long>(unwritten),
                     reinterpret_cast<const char*>(folder_.value_or("").u8string().c_str()), error_.c_str());
}

void EventLog::SetFolder(std::optional<std::filesystem::path> folder)
{
    if (folder == folder_)
        return;
    Close();
    // The cut is only tried: the old folder is left for good.
    if (cut_)
        CutBack(cut_->first, cut_->second);
    cut_.reset();
    folder_ = std::move(folder);
    if (!folder_)
        return;
    // A write past the file-size limit must fail, not end the program.
    KeepRunningAtFileSizeLimit();
    WriteHeld();
}

std::filesystem::path EventLog::FileFor(const std::string& date) const
{
    return DayFile(folder_.value_or(std::filesystem::path()), date);
}

namespace {
constexpr std::string_view kFilePrefix = "ZaritMon-events-", kFileSuffix = ".csv";
constexpr std::size_t kDateSize = 10;  // YYYY-MM-DD
} // namespace

std::filesystem::path EventLog::DayFile(const std::filesystem::path& folder, const std::string& date)
{
    return folder / (std::string(kFilePrefix) + date + std::string(kFileSuffix));
}

std::set<std::string> EventLog::Days(const std::filesystem::path& folder)
{
    std::set<std::string> days;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == kFilePrefix.size() + kDateSize + kFileSuffix.size() && name.starts_with(kFilePrefix)
            && name.ends_with(kFileSuffix))
            days.insert(name.substr(kFilePrefix.size(), kDateSize));
    }
    return days;
}

void EventLog::Add(const Event& event)
{
    events_.push_back(event);
    ++added_;
    if (events_.size() > kMaxEvents)
        events_.pop_front();
    if (!folder_)
        written_ = added_;
    WriteHeld();
}

void EventLog::WriteHeld()
{
    if (!folder_ || written_ == added_)
        return;
    if (written_ < FirstHeld()) {
        lost_ += FirstHeld() - written_;
        written_ = FirstHeld();
    }
    const bool ok = WriteFromMemory();
    if (!ok && !failing_)
        ++failures_;
    failing_ = !ok;
}

// The unwritten events a day and some 64 KB at a time. The lines are made
// only for a file that is open: a failing disk must not cost a backlog of
// 100,000 lines made afresh at every try.
bool EventLog::WriteFromMemory()
{
    constexpr std::size_t kChunkBytes = 64 * 1024;
    while (written_ < added_) {
        std::size_t i = static_cast<std::size_t>(written_ - FirstHeld());
        const std::string date = DateOf(events_[i]);
        if (!Ready(date))
            return false;
        std::string lines;
        for (; i < events_.size() && lines.size() < kChunkBytes && DateOf(events_[i]) == date; ++i)
            lines += Utf8ToCp1251(EventCsvLine(events_[i], separator_)) + "\r\n";
        if (!WriteDay(date, lines))
            return false;
        written_ = FirstHeld() + i;
    }
    return true;
}

bool EventLog::Ready(const std::string& date)
{
    std::error_code missing;
    // A file deleted or moved away would take the events with it: the
    // day's events are wherever its name is.
    if (file_ && (fileDate_ != date || !std::filesystem::exists(FileFor(date), missing)))
        Close();
    return file_ || Open(date);
}

bool EventLog::WriteDay(const std::string& date, const std::string& lines)
{
    const std::string bytes = (fileLength_ == 0 ? Utf8ToCp1251(EventCsvHeader()) + "\r\n" : "") + lines;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size() || std::fflush(file_) != 0) {
        error_ = SystemError(errno ? errno : EIO);
        cut_.emplace(FileFor(date), fileLength_);
        Close();  // opened afresh at the next try
        return false;
    }
    fileLength_ += bytes.size();
    return true;
}

bool EventLog::Open(const std::string& date)
{
    std::error_code error;
    std::filesystem::create_directories(*folder_, error);
    const std::filesystem::path path = FileFor(date);
    if (cut_ && cut_->first == path) {
        if ((error = CutBack(path, cut_->second))) {
            error_ = error.message();
            return false;
        }
        cut_.reset();
    }
    // A line torn by a full disk or a power cut before this run is cut off,
    // or the next event would be glued onto it.
    if (const std::error_code cut = CutBack(path, WholeLinesLength(path))) {
        error_ = cut.message();
        return false;
    }
    errno = 0;
    file_ = OpenFile(path, "ab");
    if (!file_) {
        error_ = SystemError(errno ? errno : EIO);
        return false;
    }
    fileLength_ = std::filesystem::file_size(path, error);
    if (error) {
        error_ = error.message();
        Close();
        return false;
    }
    fileDate_ = date;
    return true;
}

void EventLog::Close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}
