#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An INI file read and written one key at a time, as the settings need it:
// every call goes to the file, nothing is cached. Names are matched without
// regard to ASCII case, spaces around names and values are ignored. Text is
// kept byte for byte (the file is single-byte Windows-1251).
class TIniFile {
public:
    explicit TIniFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }

    // The value when the key is present (also when empty), else the default.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // An optionally signed decimal that fits 32 bits, else the default.
    int32_t ReadInteger(const std::string& section, const std::string& key,
                        int32_t defaultValue) const;
    // Creates the file, section and key as needed; every other line stays as
    // it was, in its place. False, with the file untouched, when it cannot
    // be written.
    bool WriteString(const std::string& section, const std::string& key,
                     const std::string& value) const;

    // Every line of the first section of that name that is neither blank
    // nor a comment, with its line number (from 1), for a section whose
    // keys are not known beforehand: its name and value by the rule of the
    // other reads, or isKey false for a line that has none. Empty when the
    // file or section is not there.
    struct SectionLine {
        std::size_t number;
        std::string text;
        bool isKey = false;
        std::string name, value;
    };
    std::vector<SectionLine> ReadSectionLines(const std::string& section) const;

private:
    std::string path_;
};

// The decimal rule of ReadInteger, on its own: surrounding spaces and tabs
// allowed, one optional sign, digits only, within 32 bits.
bool ParseInt32(const std::string& text, int32_t& value);
