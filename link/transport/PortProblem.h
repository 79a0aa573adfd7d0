#pragma once

// Why the line is not open: the system's error at the step that failed, for
// a serial port or a TCP connection.

#include <string>

struct PortProblem {
    enum class Kind {
        None,
        NotFound,
        InUse,
        NoPermission,
        NotSerial,
        Other,
        NameNotFound,    // the host name does not resolve
        Refused,         // nobody listens at the host's port
        NoAnswer,        // the connect ran out of time
        ClosedByServer,  // the far end closed or reset the connection
    };
    Kind kind = Kind::None;
    std::string step;    // "open", "lock" or "line settings"; "getaddrinfo", "connect", "recv" or "send"
    int code = 0;        // errno, GetLastError(), a getaddrinfo code or a WSA error; 0 for a closed connection
    std::string system;  // the system's own text for the code
    std::string group;   // NoPermission on POSIX: the group owning the device node

    bool operator==(const PortProblem&) const = default;
};

// In plain words: "не найден", "занят другой программой", "нет доступа",
// "не последовательный порт", "имя не найдено", "соединение отклонено",
// "нет ответа", "соединение закрыто сервером", or the system's own text.
std::string PortProblemWords(const PortProblem& problem);
