#pragma once

// The link's health in words, for the status bar.

#include "LocalTime.h"
#include "TDeviceControl.h"

#include <string>

// "Связь: есть ответ · последний ответ 9:05:07 · опросов 12, ответов 11,
// таймаутов 1, ошибок CRC 0". lastAnswer is the local time of the last
// answer, used when stats.answered > 0.
std::string LinkHealthText(const PollStats& stats, const LocalTime& lastAnswer);
