#include "EventLog.h"

#include "Cp1251.h"
#include "DiskFile.h"
#include "LocalTime.h"

#include <cerrno>
#include <system_error>

EventLog::~EventLog()
{
    if (file_)
        std::fclose(file_);
}

void EventLog::SetFolder(std::optional<std::filesystem::path> folder)
{
    if (folder == folder_)
        return;
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    folder_ = std::move(folder);
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
        return;
    const bool ok = Write(event);
    if (!ok && !failing_)
        ++failures_;
    failing_ = !ok;
}

bool EventLog::Write(const Event& event)
{
    const LocalTime t = ToLocal(event.at);
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", t.year, t.month, t.day);
    if (file_ && fileDate_ != date) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!file_) {
        std::error_code ignored;
        std::filesystem::create_directories(*folder_, ignored);
        const std::filesystem::path path = FileFor(date);
        const bool fresh = !std::filesystem::exists(path, ignored);
        errno = 0;
        file_ = OpenFile(path, "ab");
        if (!file_) {
            error_ = std::error_code(errno ? errno : EIO, std::generic_category()).message();
            return false;
        }
        fileDate_ = date;
        if (fresh) {
            const std::string header = Utf8ToCp1251(EventCsvHeader()) + "\r\n";
            std::fwrite(header.data(), 1, header.size(), file_);
        }
    }
    const std::string line = Utf8ToCp1251(EventCsvLine(event, separator_)) + "\r\n";
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        error_ = std::error_code(errno ? errno : EIO, std::generic_category()).message();
        std::fclose(file_);  // opened afresh at the next event
        file_ = nullptr;
        return false;
    }
    return true;
}
