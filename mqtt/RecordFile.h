#pragma once

// A small record kept beside the event files (what was delivered, what was
// announced), replaced whole so that a power cut leaves the old one or the
// new one, never half of either.

#include <filesystem>
#include <string>

// Writes text to a fresh file, on the disk before it takes the record's
// place; the folder is made when missing. The system's reason when it
// could not, "" when written.
std::string WriteRecord(const std::filesystem::path& record, const std::string& text);
