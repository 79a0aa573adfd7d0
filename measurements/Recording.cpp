#include "Recording.h"

#include "DiskFile.h"
#include "RelayRegisters.h"

#include <cerrno>
#include <cstring>

std::string RecordLine(const LocalTime& at, const std::vector<uint16_t>& registers,
                       const std::string& decimalSeparator)
{
    auto reg = [&](std::size_t i) { return i < registers.size() ? registers[i] : uint16_t{0}; };
    std::string line = FormatStamp(at);
    for (int r : relay::kKeptCurrents)
        line += ";" + FormatMeasuredCurrent(reg(static_cast<std::size_t>(r)), decimalSeparator);
    // The pictures as the window shows them: LEDs 1..8, then inputs 1..4.
    std::string leds, inputs;
    for (const Indicator& ind : kIndicators)
        (ind.IsLed() ? leds : inputs) += ind.Lit(reg(relay::kInputs), reg(relay::kLeds)) ? '1' : '0';
    return line + ";" + leds + ";" + inputs;
}

std::vector<std::filesystem::path> RecordingFiles(const std::filesystem::path& chosen,
                                                  const std::vector<uint8_t>& addresses)
{
    if (addresses.size() <= 1)
        return {chosen};
    std::vector<std::filesystem::path> files;
    for (const uint8_t address : addresses) {
        std::filesystem::path name = chosen.stem();
        name += "-" + std::to_string(address);
        name += chosen.extension();
        files.push_back(std::filesystem::path(chosen).replace_filename(name));
    }
    return files;
}

std::vector<std::filesystem::path> FilesToOverwrite(const std::filesystem::path& chosen,
                                                    const std::vector<uint8_t>& addresses)
{
    std::vector<std::filesystem::path> existing;
    std::error_code error;
    for (const std::filesystem::path& file : RecordingFiles(chosen, addresses))
        if (file != chosen && std::filesystem::exists(file, error))
            existing.push_back(file);
    return existing;
}

bool Recording::Start(const std::filesystem::path& path, const std::string& header)
{
    Stop();
    error_.clear();
    path_ = path;
    file_ = OpenFile(path, "wb");
    if (!file_) {
        error_ = std::strerror(errno);
        return false;
    }
    return Put(header);
}

bool Recording::Write(const std::string& line)
{
    return file_ && Put(line);
}

bool Recording::Put(const std::string& line)
{
    const std::string text = line + "\r\n";
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0) {
        error_ = errno ? std::strerror(errno) : "запись не удалась";
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void Recording::Stop()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}
