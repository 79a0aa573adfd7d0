#pragma once

// The link's health in words, for the status bar.

#include "LocalTime.h"
#include "PortProblem.h"
#include "TDeviceControl.h"

#include <string>
#include <vector>

// "Связь: есть ответ · последний ответ 9:05:07 · опросов 12, ответов 11,
// таймаутов 1, ошибок CRC 0", and ", исключений N" once the relay has
// answered with an exception. lastAnswer is the local time of the last
// answer, used when stats.answered > 0.
std::string LinkHealthText(const PollStats& stats, const LocalTime& lastAnswer);

// While the port is not open: "Связь: порт /dev/ttyUSB0 не открыт: нет
// доступа", and what to do about it: join the device's group (usually
// dialout) and log in again, or, for a port not found, the ports there are
// now (portsNow).
std::string PortNotOpenText(const std::string& port, const PortProblem& problem,
                            const std::vector<std::string>& portsNow);
// The rest, for the tooltip: the step and the system's own words, and the
// command that adds `user` to the group.
std::string PortNotOpenDetail(const PortProblem& problem, const std::string& user);
