#pragma once

// What happened at the relay or at the monitor, and when: a trip, an input,
// the link, or a command of the operator.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

enum class EventKind { Trip, Input, Link, Operator };

struct Event {
    std::chrono::system_clock::time_point at;
    EventKind kind = EventKind::Operator;
    std::string what;   // the LED's or input's own caption, or the command
    std::string state;  // its new state
    // Ia, Ib, Ic, 3Io and the last trip current of the poll that showed it,
    // in hundredths of an ampere; none for what no poll showed.
    std::optional<std::array<uint16_t, 5>> currents;
    // The relay it happened at or was meant for ("Фидер 2 (адрес 2)"); empty
    // for the whole line.
    std::string relay = {};
};

// The kind in words, as the event window and file name it.
const char* EventKindText(EventKind kind);

// The CSV line of an event, as the file and the window's save write it:
// "2026-12-07 09:05:07.045;Срабатывания;Сработало I> (МТЗ);вкл;12,34;...".
// UTF-8; the files are Windows-1251.
std::string EventCsvLine(const Event& event, const std::string& decimalSeparator);
std::string EventCsvHeader();
