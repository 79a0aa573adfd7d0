#include "EventLog.h"

#include "Cp1251.h"
#include "DiskFile.h"
#include "FileSync.h"
#include "LocalTime.h"

#include <cerrno>
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

} // namespace

EventLog::~EventLog()
{
    WriteHeld();
    Close();
    const uint64_t unwritten = lost_ + (folder_ ? added_ - written_ : 0);
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
    return folder_.value_or(std::filesystem::path()) / ("ZaritMon-events-" + date + ".csv");
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

// The unwritten events a day at a time, each day's lines in one write.
bool EventLog::WriteFromMemory()
{
    while (written_ < added_) {
        std::size_t i = static_cast<std::size_t>(written_ - FirstHeld());
        const std::string date = DateOf(events_[i]);
        std::string lines;
        for (; i < events_.size() && DateOf(events_[i]) == date; ++i)
            lines += Utf8ToCp1251(EventCsvLine(events_[i], separator_)) + "\r\n";
        if (!WriteDay(date, lines))
            return false;
        written_ = FirstHeld() + i;
    }
    return true;
}

bool EventLog::WriteDay(const std::string& date, const std::string& lines)
{
    if (file_ && fileDate_ != date)
        Close();
    if (!file_ && !Open(date))
        return false;
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
