#include "TIniFile.h"

#include <climits>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace {

// A line of the file, with its own ending kept, so a write puts back every
// line it did not change byte for byte (CR LF, LF or CR alike).
struct Line {
    std::string text;
    std::string ending;
};

std::vector<Line> SplitLines(const std::string& content)
{
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back({content.substr(start), ""});
            break;
        }
        std::size_t next = end + 1;
        if (content[end] == '\r' && next < content.size() && content[next] == '\n')
            ++next;
        lines.push_back({content.substr(start, end - start), content.substr(end, next - end)});
        start = next;
    }
    return lines;
}

std::string_view Trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionOf(std::string_view line)
{
    line = Trim(line);
    if (line.size() < 2 || line.front() != '[')
        return std::nullopt;
    const auto close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view line)
{
    line = Trim(line);
    return !line.empty() && line.front() == ';';
}

// Key name and value of a "name=value" line.
bool KeyValueOf(std::string_view line, std::string_view& name, std::string_view& value)
{
    if (IsComment(line))
        return false;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    name = Trim(line.substr(0, eq));
    value = Trim(line.substr(eq + 1));
    return !name.empty();
}

std::optional<std::string> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// Where a key lives: the index of its line, or where a new one would go.
struct Place {
    bool sectionFound = false;
    bool keyFound = false;
    std::size_t keyLine = 0;       // when keyFound
    std::size_t insertAfter = 0;   // last non-blank line of the section
};

Place Find(const std::vector<Line>& lines, std::string_view section, std::string_view key)
{
    Place place;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view text = lines[i].text;
        if (i == 0 && text.substr(0, kBom.size()) == kBom)
            text.remove_prefix(kBom.size());
        if (const auto name = SectionOf(text)) {
            // Only the first section of that name counts, as with keys.
            if (place.sectionFound && inSection)
                return place;
            inSection = !place.sectionFound && SameName(*name, section);
            if (inSection) {
                place.sectionFound = true;
                place.insertAfter = i;
            }
            continue;
        }
        if (!inSection)
            continue;
        if (!Trim(text).empty())
            place.insertAfter = i;
        std::string_view name, value;
        if (KeyValueOf(text, name, value) && SameName(name, key)) {
            place.keyFound = true;
            place.keyLine = i;
            return place;
        }
    }
    return place;
}

} // namespace

bool ParseInt32(const std::string& text, int32_t& value)
{
    const std::string_view t = Trim(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-'))
        negative = t[i++] == '-';
    if (i == t.size())
        return false;
    int64_t magnitude = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9')
            return false;
        magnitude = magnitude * 10 + (t[i] - '0');
        if (magnitude > int64_t{INT32_MAX} + 1)
            return false;
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX || signedValue < INT32_MIN)
        return false;
    value = static_cast<int32_t>(signedValue);
    return true;
}

std::vector<TIniFile::SectionLine> TIniFile::ReadSectionLines(const std::string& section) const
{
    std::vector<SectionLine> result;
    const auto content = ReadAll(path_);
    if (!content)
        return result;
    const auto lines = SplitLines(*content);
    bool seen = false, inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view text = lines[i].text;
        if (i == 0 && text.substr(0, kBom.size()) == kBom)
            text.remove_prefix(kBom.size());
        if (const auto name = SectionOf(text)) {
            if (inSection)
                break;
            inSection = !seen && SameName(*name, section);
            seen = seen || inSection;
            continue;
        }
        if (!inSection || Trim(text).empty() || IsComment(text))
            continue;
        std::string_view name, value;
        const bool isKey = KeyValueOf(text, name, value);
        result.push_back({i + 1, std::string(Trim(text)), isKey, std::string(name), std::string(value)});
    }
    return result;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const
{
    const auto content = ReadAll(path_);
    if (!content)
        return defaultValue;
    const auto lines = SplitLines(*content);
    const Place place = Find(lines, section, key);
    if (!place.keyFound)
        return defaultValue;
    std::string_view name, value;
    KeyValueOf(lines[place.keyLine].text, name, value);
    return std::string(value);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                             int32_t defaultValue) const
{
    int32_t value = 0;
    return ParseInt32(ReadString(section, key, ""), value) ? value : defaultValue;
}

bool TIniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) const
{
    const auto existing = ReadAll(path_);
    std::vector<Line> lines = SplitLines(existing.value_or(""));
    // New lines end like the file's first line, or CR LF in a new file.
    std::string eol = "\r\n";
    for (const auto& line : lines) {
        if (!line.ending.empty()) {
            eol = line.ending;
            break;
        }
    }
    const std::string entry = key + "=" + value;
    const Place place = Find(lines, section, key);
    if (place.keyFound) {
        lines[place.keyLine].text = entry;
    } else if (place.sectionFound) {
        auto& after = lines[place.insertAfter];
        if (after.ending.empty())
            after.ending = eol;
        // A lone CR ending right before an empty LF-ended line would read as
        // one CR LF break, and that empty line would vanish.
        std::string ending = eol;
        const std::size_t next = place.insertAfter + 1;
        if (ending == "\r" && next < lines.size() && lines[next].text.empty() && lines[next].ending[0] == '\n')
            ending = "\r\n";
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(next), {entry, ending});
    } else {
        if (!lines.empty() && lines.back().ending.empty())
            lines.back().ending = eol;
        lines.push_back({"[" + section + "]", eol});
        lines.push_back({entry, eol});
    }

    std::string content;
    for (const auto& line : lines)
        content += line.text + line.ending;
    // Written beside the file and renamed over it, so that a failed write
    // (full disk, no permission) never leaves half a file behind.
    const std::string temp = path_ + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.flush();
        if (!out) {
            out.close();
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temp, path_, error);  // replaces the old file on Windows too
    if (error) {
        std::filesystem::remove(temp, error);
        return false;
    }
    return true;
}
