#pragma once

// The recording of accepted polls to a CSV file.

#include "LocalTime.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// One recorded poll: "2026-12-07 09:05:07.045;12,34;...;10000001;1010":
// the time, Ia, Ib, Ic, 3Io and the last trip current, the eight LEDs and
// the four inputs as the display shows them.
std::string RecordLine(const LocalTime& at, const std::vector<uint16_t>& registers,
                       const std::string& decimalSeparator);

// The files a recording of these relays writes: the chosen one for a single
// relay; for several, one each with the address before the extension
// ("run.csv" gives "run-2.csv").
std::vector<std::filesystem::path> RecordingFiles(const std::filesystem::path& chosen,
                                                  const std::vector<uint8_t>& addresses);
// Those of them that exist already, but the chosen one, which the save
// dialog has asked about: starting the recording would empty them.
std::vector<std::filesystem::path> FilesToOverwrite(const std::filesystem::path& chosen,
                                                    const std::vector<uint8_t>& addresses);

// A recording file: every line flushed as it is written, so that a crash
// loses at most the line being written; the first failure closes it and
// keeps its reason.
class Recording {
public:
    Recording() = default;
    ~Recording() { Stop(); }
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    bool Start(const std::filesystem::path& path, const std::string& header);
    bool Write(const std::string& line);
    void Stop();
    bool Active() const { return file_ != nullptr; }
    const std::string& Error() const { return error_; }
    const std::filesystem::path& Path() const { return path_; }

private:
    bool Put(const std::string& line);

    std::FILE* file_ = nullptr;
    std::filesystem::path path_;
    std::string error_;
};
