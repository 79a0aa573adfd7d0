#include "Measurements.h"

#include "LocalTime.h"
#include "StatusFormat.h"

#include <cerrno>
#include <cstring>
#include <ctime>

std::string LinkHealthText(const PollStats& stats, const TimeOfDayParts& lastAnswer)
{
    if (stats.polls == 0)
        return "Связь: опроса ещё не было";
    std::string text = stats.lastAnswered ? "Связь: есть ответ" : "Связь: нет ответа";
    if (stats.answered > 0) {
        char time[16];
        std::snprintf(time, sizeof time, "%d:%02d:%02d", lastAnswer.hour, lastAnswer.minute, lastAnswer.second);
        text += std::string(" · последний ответ ") + time;
    } else {
        text += " · ответов не было";
    }
    text += " · опросов " + std::to_string(stats.polls) + ", ответов " + std::to_string(stats.answered)
            + ", таймаутов " + std::to_string(stats.timeouts) + ", ошибок CRC " + std::to_string(stats.rejected);
    return text;
}

void TrendHistory::Add(int64_t ms, const std::vector<uint16_t>& registers)
{
    if (registers.size() < kSeriesCount)
        return;
    TrendPoint point{ms, {registers[0], registers[1], registers[2], registers[3]}};
    ++revision_;
    if (!points_.empty() && ms - points_.back().ms < kSpacingMs && ms >= points_.back().ms) {
        points_.back().values = point.values;  // the newest value of the slot
        return;
    }
    if (points_.size() == kCapacity)
        points_.pop_front();
    points_.push_back(point);
}

std::vector<TrendPoint> TrendHistory::Since(int64_t sinceMs) const
{
    std::vector<TrendPoint> out;
    for (const auto& p : points_)
        if (p.ms >= sinceMs)
            out.push_back(p);
    return out;
}

LocalStamp ToLocalStamp(std::chrono::system_clock::time_point at)
{
    using namespace std::chrono;
    const std::time_t t = system_clock::to_time_t(at);
    const int ms = static_cast<int>(duration_cast<milliseconds>(at.time_since_epoch()).count() % 1000);
    const std::tm tm = ToLocalTime(t);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms};
}

std::string RecordLine(const LocalStamp& local, const std::vector<uint16_t>& registers,
                       const std::string& decimalSeparator)
{
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.year, local.month, local.day,
                  local.hour, local.minute, local.second, local.millisecond);
    auto reg = [&](std::size_t i) { return i < registers.size() ? registers[i] : uint16_t{0}; };
    std::string line = stamp;
    for (std::size_t r : {0u, 1u, 2u, 3u, 45u})
        line += ";" + FormatMeasuredCurrent(reg(r), decimalSeparator);
    // The pictures as the window shows them: LEDs 1..8, then inputs 1..4.
    std::string leds, inputs;
    for (const Indicator& ind : kIndicators)
        (ind.reg == 5 ? leds : inputs) += (reg(static_cast<std::size_t>(ind.reg)) >> ind.bit) & 1 ? '1' : '0';
    return line + ";" + leds + ";" + inputs;
}

bool Recording::Start(const std::string& path, const std::string& header)
{
    Stop();
    error_.clear();
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error_ = std::strerror(errno);
        return false;
    }
    return Put(header);
}

bool Recording::Write(const std::string& line)
{
    return file_ && Put(line);
}

bool Recording::Put(const std::string& line)
{
    const std::string text = line + "\r\n";
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
        error_ = errno ? std::strerror(errno) : "запись не удалась";
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void Recording::Stop()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}
