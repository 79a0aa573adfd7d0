#pragma once

// A snapshot of the relay's setpoints in a file: CSV in Windows-1251 with
// ";" that a spreadsheet opens, a few lines about the relay, then one row
// per setpoint. The raw value of each row is what counts when a file is read
// back; the other columns are for people. Plain C++.

#include "SetpointDecode.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using SetpointValues = std::array<uint16_t, kSetpointCount>;  // registers 6..41

struct SetpointSnapshot {
    // About the relay, as text (UTF-8); read back when present, may be empty.
    std::string address;
    std::string relayName;
    std::string line;  // "9600 бит/с", or the network address
    std::string takenAt;
    std::string program;
    SetpointValues values{};
};

// The file's bytes: Windows-1251, CRLF.
std::string SnapshotToCsv(const SetpointSnapshot& snapshot, const std::string& decimalSeparator);

struct SnapshotRead {
    std::optional<SetpointSnapshot> snapshot;
    std::string problem;  // UTF-8, with the line when one is at fault
};
// Ours, or one a spreadsheet saved back (Windows-1251 or UTF-8, fields in
// quotes or not, any order of rows): the rows are matched by register.
SnapshotRead ParseSnapshotCsv(std::string_view bytes);

struct SetpointDifference {
    uint16_t reg;
    uint16_t saved;
    uint16_t now;
};
std::vector<SetpointDifference> CompareSetpoints(const SetpointValues& saved, const SetpointValues& now);

// True when the file's "Адрес" names a relay other than the one at
// `address`; a file that names none (the line edited away) may be anyone's.
bool OfAnotherRelay(const SetpointSnapshot& file, const std::string& address);

// A value as the comparison shows it: decoded, with its unit, and with the
// raw value too when the other value decodes the same ("Вкл (2)").
std::string ComparedText(const SetpointField& field, uint16_t value, uint16_t other,
                         const std::string& decimalSeparator);
// "совпадают 35 из 36, отличаются 1"
std::string ComparisonSummary(std::size_t differing);
// "МТЗ I>, А (регистр 7): реле 6,0, файл 5,0"
std::string DifferenceText(const SetpointDifference& difference, const std::string& decimalSeparator);
