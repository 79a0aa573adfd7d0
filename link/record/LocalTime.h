#pragma once

#include <chrono>
#include <string>

// A moment in local time, broken down, with its milliseconds: the one form
// in which the log, the journal, the recording and the health panel take
// the time.
struct LocalTime {
    int year = 0, month = 0, day = 0;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The local time of a moment, for every thread of the program. The zone is
// looked up (a file check each time, under one lock, since std::localtime
// hands out one shared buffer) at most once per second of the clock.
LocalTime ToLocal(std::chrono::system_clock::time_point at);
inline LocalTime LocalNow()
{
    return ToLocal(std::chrono::system_clock::now());
}

// Time of day as the log shows it: "9:05:07:45" -- hours without a leading
// zero, then ":" and the milliseconds without leading zeros.
std::string FormatLogTime(int hour, int minute, int second, int millisecond);

// Date and time as the event files, the recordings and the published
// messages give them: "2026-12-08 09:05:07.045".
std::string FormatStamp(const LocalTime& t);
