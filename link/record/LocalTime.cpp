#include "LocalTime.h"

#include <cstdio>
#include <ctime>
#include <mutex>

LocalTime ToLocal(std::chrono::system_clock::time_point at)
{
    using namespace std::chrono;
    const std::time_t t = system_clock::to_time_t(at);
    const auto sinceEpoch = duration_cast<milliseconds>(at.time_since_epoch()).count();
    static std::mutex mutex;
    static std::time_t cachedSecond = -1;
    static std::tm cached{};
    {
        std::lock_guard lock(mutex);
        if (t != cachedSecond) {
            const std::tm* local = std::localtime(&t);
            cached = local ? *local : std::tm{};
            cachedSecond = t;
        }
        return {cached.tm_year + 1900, cached.tm_mon + 1, cached.tm_mday, cached.tm_hour, cached.tm_min,
                cached.tm_sec, static_cast<int>((sinceEpoch % 1000 + 1000) % 1000)};
    }
}

std::string FormatStamp(const LocalTime& t)
{
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond);
    return text;
}

std::string FormatLogTime(int hour, int minute, int second, int millisecond)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d:%02d:%d", hour, minute, second, millisecond);
    return text;
}
