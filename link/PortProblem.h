#pragma once

// Why a serial port is not open: the system's error at the step that failed.

#include <string>

struct PortProblem {
    enum class Kind { None, NotFound, InUse, NoPermission, NotSerial, Other };
    Kind kind = Kind::None;
    std::string step;    // "open", "lock" or "line settings"
    int code = 0;        // errno, or GetLastError()
    std::string system;  // the system's own text for the code
    std::string group;   // NoPermission on POSIX: the group owning the device node

    bool operator==(const PortProblem&) const = default;
};

// In plain words: "не найден", "занят другой программой", "нет доступа",
// "не последовательный порт", or the system's own text.
std::string PortProblemWords(const PortProblem& problem);
