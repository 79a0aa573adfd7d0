#include "EventOutbox.h"

#include "Cp1251.h"
#include "LocalTime.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace {

constexpr const char* kPrefix = "ZaritMon-events-";
constexpr const char* kSuffix = ".csv";

std::string Today()
{
    const LocalTime t = LocalNow();
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
    return text;
}

// The days that have an event file, in order.
std::set<std::string> Days(const std::filesystem::path& folder)
{
    std::set<std::string> days;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const std::string prefix = kPrefix, suffix = kSuffix;
        if (name.size() == prefix.size() + 10 + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix))
            days.insert(name.substr(prefix.size(), 10));
    }
    return days;
}

} // namespace

EventOutbox::EventOutbox(std::filesystem::path folder) : folder_(std::move(folder))
{
    std::ifstream record(RecordFile());
    Position p;
    if (record >> p.date >> p.line >> p.offset && p.date.size() == 10) {
        delivered_ = p;
    } else {
        // From now on: the end of the newest file there is.
        const std::set<std::string> days = Days(folder_);
        delivered_.date = days.empty() ? Today() : *days.rbegin();
        std::ifstream last(FileFor(delivered_.date), std::ios::binary);
        std::string line;
        while (std::getline(last, line) && last.good()) {
            ++delivered_.line;
            delivered_.offset = static_cast<uint64_t>(last.tellg());
        }
    }
    read_ = delivered_;
}

std::filesystem::path EventOutbox::FileFor(const std::string& date) const
{
    return folder_ / (kPrefix + date + kSuffix);
}

std::optional<std::string> EventOutbox::DayAfter(const std::string& date) const
{
    const std::set<std::string> days = Days(folder_);
    const auto next = days.upper_bound(date);
    return next == days.end() ? std::nullopt : std::optional<std::string>(*next);
}

std::optional<EventOutbox::Item> EventOutbox::Next()
{
    for (;;) {
        std::ifstream file(FileFor(read_.date), std::ios::binary);
        if (file)
            file.seekg(static_cast<std::streamoff>(read_.offset));
        std::string line;
        // Only a whole line: the writer may be in the middle of one.
        if (file && std::getline(file, line) && !file.eof()) {
            ++read_.line;
            read_.offset = static_cast<uint64_t>(file.tellg());
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::string id = read_.date + "/" + std::to_string(read_.line);
            if (auto message = EventJson(Cp1251ToUtf8(line), id))
                return Item{id, std::move(*message), read_};
            continue;  // the header
        }
        // Nothing more today: a later day's file, once there is one.
        const std::optional<std::string> later = DayAfter(read_.date);
        if (!later)
            return std::nullopt;
        read_ = Position{*later, 0, 0};
    }
}

bool EventOutbox::Delivered(const Position& upTo)
{
    delivered_ = upTo;
    const std::filesystem::path record = RecordFile();
    const std::filesystem::path fresh = record.string() + ".new";
    {
        std::ofstream out(fresh, std::ios::trunc);
        out << upTo.date << ' ' << upTo.line << ' ' << upTo.offset << '\n';
        if (!out.flush())
            return false;
    }
    std::error_code error;
    std::filesystem::rename(fresh, record, error);
    return !error;
}
