#include "EventOutbox.h"

#include "Cp1251.h"
#include "EventLog.h"
#include "RecordFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;

// The record's first line; a record without it is one line of an earlier
// version: "YYYY-MM-DD LINE OFFSET" for the newest day delivered.
constexpr const char* kRecordHeader = "zaritmon-events-delivered 2";
constexpr std::chrono::seconds kSaveEvery{1};

// FNV-1a of a line without its CR LF.
uint32_t LineHash(std::string_view line)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    uint32_t hash = 2166136261u;
    for (const char c : line)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    return hash;
}

std::string Hex(uint32_t value)
{
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string ReadBytes(const fs::path& path, uint64_t from, uint64_t to)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(to - from), '\0');
    in.seekg(static_cast<std::streamoff>(from));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

} // namespace

EventOutbox::EventOutbox(fs::path folder, std::string station, Say say)
    : folder_(std::move(folder)), station_(std::move(station)), say_(std::move(say))
{
    Load();
    read_ = delivered_;
}

EventOutbox::~EventOutbox()
{
    Save(true);
}

fs::path EventOutbox::FileFor(const std::string& date) const
{
    return EventLog::DayFile(folder_, date);
}

EventOutbox::Position EventOutbox::LastLineEnd(const std::string& date, uint64_t limit, bool before) const
{
    std::error_code error;
    const uint64_t size = fs::file_size(FileFor(date), error);
    const std::string bytes = ReadBytes(FileFor(date), 0, error ? 0 : std::min(limit, size));
    // Where the line that ends at end starts.
    const auto lineStart = [&](std::size_t end) {
        const std::size_t prior = end >= 2 ? bytes.rfind('\n', end - 2) : std::string::npos;
        return prior == std::string::npos ? std::size_t{0} : prior + 1;
    };
    // The end of the last whole line, or of the one before it.
    std::size_t end = bytes.rfind('\n');
    end = end == std::string::npos ? 0 : end + 1;
    if (before && end > 0)
        end = lineStart(end);
    Position p{date};
    p.offset = end;
    if (end > 0) {
        p.start = lineStart(end);
        p.hash = LineHash(std::string_view(bytes).substr(p.start, end - p.start));
        p.line = static_cast<uint64_t>(std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end), '\n'));
    }
    p.file = made_.count(date) ? made_.at(date) : 0;
    return p;
}

void EventOutbox::Load()
{
    const fs::path path = RecordFile();
    std::error_code error;
    if (!fs::exists(path, error) && !error) {
        // The first start: from the end of what is there, recorded at once so
        // that a restart before the first acknowledgement starts there too.
        for (const std::string& day : EventLog::Days(folder_))
            delivered_[day] = LastLineEnd(day, std::numeric_limits<uint64_t>::max(), false);
        changed_ = true;
        Save(true);
        return;
    }
    const auto unreadable = [&](const std::string& why) {
        delivered_.clear();
        changed_ = true;
        say_("запись о доставленных событиях " + path.string() + " не прочитана (" + why
             + "): события доставляются снова с начала файлов");
    };
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return unreadable(std::strerror(errno ? errno : EIO));
    std::string first;
    std::getline(in, first);
    struct Entry {
        std::string date;
        uint64_t offset = 0;
        std::optional<uint32_t> hash;
    };
    std::vector<Entry> entries;
    std::optional<std::string> older;  // an earlier version's record: days before it were delivered
    if (first == kRecordHeader) {
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            Entry e;
            uint64_t lines = 0;
            std::string hash;
            char* end = nullptr;
            if (!(fields >> e.date >> e.offset >> lines >> hash) || e.date.size() != 10 || hash.size() != 8
                || (e.hash = static_cast<uint32_t>(std::strtoul(hash.c_str(), &end, 16)), *end != '\0'))
                return unreadable("строка «" + line + "»");
            entries.push_back(e);
        }
    } else {
        std::istringstream fields(first);
        Entry e;
        uint64_t lines = 0;
        if (!(fields >> e.date >> lines >> e.offset) || e.date.size() != 10)
            return unreadable(first.empty() ? "пусто" : "строка «" + first + "»");
        entries.push_back(e);
        older = e.date;
    }
    const std::set<std::string> days = EventLog::Days(folder_);
    if (older)
        for (auto day = days.begin(); day != days.end() && *day < *older; ++day)
            delivered_[*day] = LastLineEnd(*day, std::numeric_limits<uint64_t>::max(), false);
    for (const Entry& e : entries) {
        if (!days.count(e.date))
            continue;
        const Position at = LastLineEnd(e.date, e.offset, false);
        if (at.offset == e.offset && (!e.hash || *e.hash == at.hash)) {
            delivered_[e.date] = at;
            continue;
        }
        changed_ = true;
        if (at.offset != e.offset) {
            // A power cut: the record reached the disk, not all the lines.
            delivered_[e.date] = LastLineEnd(e.date, e.offset, true);
            say_("запись о доставленных событиях указывает за конец строк " + FileFor(e.date).string()
                 + ": доставка продолжится с последней целой строки");
        } else {
            say_("файл событий " + FileFor(e.date).string()
                 + " не тот, что был доставлен: его события доставляются снова с начала");
        }
    }
}

bool EventOutbox::StillThere(const Position& at) const
{
    return LineHash(ReadBytes(FileFor(at.date), at.start, at.offset)) == at.hash;
}

void EventOutbox::Scan()
{
    const std::set<std::string> days = EventLog::Days(folder_);
    for (auto it = delivered_.begin(); it != delivered_.end();) {
        const bool gone = !days.count(it->first);
        changed_ = changed_ || gone;
        it = gone ? delivered_.erase(it) : std::next(it);
    }
    std::erase_if(read_, [&](const auto& entry) { return !days.count(entry.first); });
    std::erase_if(seen_, [&](const auto& entry) { return !days.count(entry.first); });
    for (const std::string& day : days) {
        Position& at = read_.try_emplace(day, Position{day, 0, 0, 0, 0, made_[day]}).first->second;
        std::error_code error;
        const uint64_t size = fs::file_size(FileFor(day), error);
        const fs::file_time_type written = fs::last_write_time(FileFor(day), error);
        if (error)
            continue;
        // Only a file written since the last look is read to tell: most
        // days' files never are again.
        const std::pair<uint64_t, fs::file_time_type> now{size, written};
        const bool changed = seen_[day] != now;
        seen_[day] = now;
        if (changed && at.offset > 0 && (size < at.offset || !StillThere(at))) {
            // Made afresh under us: what it holds now was never delivered.
            say_("файл событий " + FileFor(day).string()
                 + " создан заново: его события доставляются снова с начала");
            at = Position{day, 0, 0, 0, 0, ++made_[day]};
            delivered_[day] = at;
            changed_ = true;
        }
        if (size > at.offset)
            due_.push_back(day);
    }
}

std::optional<EventOutbox::Item> EventOutbox::Next()
{
    for (;;) {
        if (due_.empty()) {
            if (!look_)
                return std::nullopt;
            look_ = false;
            Scan();
            if (due_.empty())
                return std::nullopt;
        }
        Position& at = read_[due_.front()];
        if (!reading_.is_open()) {
            reading_.clear();
            reading_.open(FileFor(at.date), std::ios::binary);
            reading_.seekg(static_cast<std::streamoff>(at.offset));
        }
        std::string line;
        // Only a whole line: the writer may be in the middle of one.
        if (!reading_ || !std::getline(reading_, line) || reading_.eof()) {
            reading_.close();
            due_.erase(due_.begin());
            continue;
        }
        at.start = at.offset;
        at.offset = static_cast<uint64_t>(reading_.tellg());
        ++at.line;
        at.hash = LineHash(line);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string id = station_ + "/" + at.date + "/" + std::to_string(at.line) + "/" + Hex(at.hash);
        if (auto message = EventJson(Cp1251ToUtf8(line), id))
            return Item{id, std::move(*message), at};
        if (at.line > 1)  // the first is the header
            say_("строка " + std::to_string(at.line) + " файла " + FileFor(at.date).string()
                 + " — не событие; не публикуется");
    }
}

uint64_t EventOutbox::Undelivered() const
{
    uint64_t count = 0;
    for (const std::string& day : EventLog::Days(folder_)) {
        const auto delivered = delivered_.find(day);
        const uint64_t offset = delivered == delivered_.end() ? 0 : delivered->second.offset;
        std::ifstream in(FileFor(day), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        uint64_t lines = 0;
        // Only whole lines, as Next() takes them.
        for (std::string line; std::getline(in, line) && !in.eof();)
            ++lines;
        count += offset == 0 && lines > 0 ? lines - 1 : lines;  // the header is no event
    }
    return count;
}

void EventOutbox::Delivered(const Position& upTo)
{
    // An acknowledgement of a file that was made afresh since says nothing
    // of the new one.
    if (upTo.file != made_[upTo.date])
        return;
    delivered_[upTo.date] = upTo;
    changed_ = true;
}

void EventOutbox::Rewind()
{
    read_ = delivered_;
    due_.clear();
    reading_.close();
    look_ = true;
}

std::chrono::steady_clock::time_point EventOutbox::SaveDue() const
{
    return changed_ ? savedAt_ + kSaveEvery : std::chrono::steady_clock::time_point::max();
}

void EventOutbox::Save(bool now)
{
    const auto at = std::chrono::steady_clock::now();
    if (!changed_ || (!now && at - savedAt_ < kSaveEvery))
        return;
    savedAt_ = at;
    std::string text = std::string(kRecordHeader) + "\n";
    for (const auto& [date, p] : delivered_)
        if (p.offset > 0)
            text += date + " " + std::to_string(p.offset) + " " + std::to_string(p.line) + " " + Hex(p.hash) + "\n";
    const fs::path record = RecordFile();
    const std::string why = WriteRecord(record, text);
    if (why.empty()) {
        changed_ = false;
        saveError_.clear();
    } else if (why != saveError_) {
        saveError_ = why;
        say_("не записано, какие события доставлены: " + record.string() + ": " + why);
    }
}
