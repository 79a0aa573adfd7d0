// The configuration file on any content: after writing a key, reading it
// gives the value written, and every other line of the file is still there,
// in its order.

#include "FuzzSupport.h"
#include "TIniFile.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

const std::string& Path()
{
    static const std::string path = "/tmp/zarit-fuzz-ini-" + std::to_string(::getpid()) + ".ini";
    return path;
}

bool Blank(char c)
{
    return c == ' ' || c == '\t';
}

// A key or value as the settings dialog could write it: one line, no blanks
// around it; a key without the characters that would make it something else.
std::string Clean(std::string s, bool key)
{
    std::string out;
    for (char c : s) {
        if (c == '\r' || c == '\n' || c == '\0')
            continue;
        if (key && (c == '=' || c == '[' || c == ']' || c == ';'))
            continue;
        out += c;
    }
    while (!out.empty() && Blank(out.front()))
        out.erase(out.begin());
    while (!out.empty() && Blank(out.back()))
        out.pop_back();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The key's line, the value's line, then the file.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const std::size_t keyEnd = all.find('\n');
    const std::size_t valueEnd = keyEnd == std::string::npos ? std::string::npos : all.find('\n', keyEnd + 1);
    if (valueEnd == std::string::npos)
        return 0;
    const std::string key = Clean(all.substr(0, keyEnd), true);
    const std::string value = Clean(all.substr(keyEnd + 1, valueEnd - keyEnd - 1), false);
    const std::string content = all.substr(valueEnd + 1);
    if (key.empty())
        return 0;
    {
        std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
        out << content;
    }
    const TIniFile ini(Path());
    const std::string before = ini.ReadString("Config", key, std::string(1, '\x01'));
    FUZZ_CHECK(ini.WriteString("Config", key, value));
    FUZZ_CHECK(ini.ReadString("Config", key, "") == value);

    std::ifstream in(Path(), std::ios::binary);
    std::ostringstream written;
    written << in.rdbuf();
    const auto oldLines = SplitLines(content);
    const auto newLines = SplitLines(written.str());
    const std::string entry = key + "=" + value;
    // Walk both: lines may only be added (the key, perhaps its section) or,
    // when the key was there, one line replaced by it.
    std::size_t o = 0, n = 0;
    int added = 0, replaced = 0;
    while (o < oldLines.size() && n < newLines.size()) {
        if (oldLines[o] == newLines[n]) {
            ++o;
            ++n;
        } else if (newLines[n] == entry || newLines[n] == "[Config]") {
            if (before != std::string(1, '\x01') && newLines[n] == entry && replaced == 0) {
                ++replaced;
                ++o;
            } else {
                ++added;
            }
            ++n;
        } else {
            FUZZ_CHECK(!"a line of the file changed or moved");
        }
    }
    FUZZ_CHECK(o == oldLines.size());
    added += static_cast<int>(newLines.size() - n);
    FUZZ_CHECK(added <= 2);
    unlink(Path().c_str());
    return 0;
}
