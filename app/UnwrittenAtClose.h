#pragma once

// What the exchange journal and the event files had still not taken when
// the window closed: told to the operator, who may have no console, and
// kept in a file beside the journal's folder, since the folder itself may
// be what failed. Plain C++.

#include "LocalTime.h"

#include <cstdint>
#include <filesystem>
#include <string>

struct UnwrittenAtClose {
    std::filesystem::path folder;  // where both should have gone
    uint64_t journalLines = 0;
    std::string journalError;      // the system's words, UTF-8
    uint64_t events = 0;
    std::string eventsError;

    bool Any() const { return journalLines > 0 || events > 0; }
};

inline constexpr const char* kUnwrittenFileName = "ZaritMon-unwritten.txt";

// "…/journal" gives "…/ZaritMon-unwritten.txt".
std::filesystem::path UnwrittenFile(const std::filesystem::path& folder);

// The report, a line each, UTF-8: the time and the folder, then the counts
// with their reasons.
std::string UnwrittenText(const UnwrittenAtClose& unwritten, const LocalTime& at);

// Appends the text to the file in Windows-1251 with CR LF; false, with the
// system's reason in *error, when it cannot.
bool AppendUnwrittenFile(const std::filesystem::path& file, const std::string& text, std::string* error);
