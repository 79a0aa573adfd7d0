#include "SetpointSnapshot.h"

#include "Cp1251.h"

#include <algorithm>
#include <charconv>

namespace {

const char* const kTitle = "Уставки реле";
const char* const kAddressKey = "Адрес";
const char* const kNameKey = "Реле";
const char* const kLineKey = "Линия";
const char* const kTimeKey = "Дата и время";
const char* const kProgramKey = "Программа";
const char* const kColumns[] = {"Регистр", "Уставка", "Значение", "Текст", "Единица"};
constexpr std::size_t kColumnCount = std::size(kColumns);

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(";\"") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

std::string Row(std::initializer_list<std::string> fields)
{
    std::string row;
    for (const std::string& f : fields)
        row += (&f == fields.begin() ? "" : ";") + CsvField(f);
    return row + "\r\n";
}

std::string Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// One line's fields; false for a quote left open.
bool SplitFields(std::string_view line, std::vector<std::string>& fields)
{
    fields.assign(1, {});
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c != '"')
                fields.back() += c;
            else if (i + 1 < line.size() && line[i + 1] == '"')
                fields.back() += line[++i];
            else
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    for (std::string& f : fields)
        f = Trim(f);
    // A spreadsheet pads short rows to the widest one.
    while (fields.size() > 1 && fields.back().empty())
        fields.pop_back();
    return !quoted;
}

bool ValidUtf8(std::string_view s)
{
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || (n == 2 && c < 0xC2) || i + n > s.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

// Text files hold no control bytes but tab and line ends; Windows-1251 has
// no character at 0x98.
std::size_t FirstUnreadableLine(std::string_view s, bool cp1251)
{
    std::size_t line = 1;
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n')
            ++line;
        else if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F || (cp1251 && c == 0x98))
            return line;
    }
    return 0;
}

std::optional<uint16_t> ParseNumber(const std::string& text, unsigned min, unsigned max)
{
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::string AtLine(std::size_t line, const std::string& why)
{
    return "строка " + std::to_string(line) + ": " + why;
}

} // namespace

std::string SnapshotToCsv(const SetpointSnapshot& s, const std::string& decimalSeparator)
{
    std::string text = Row({kTitle});
    text += Row({kAddressKey, s.address});
    if (!s.relayName.empty())
        text += Row({kNameKey, s.relayName});
    text += Row({kLineKey, s.line});
    text += Row({kTimeKey, s.takenAt});
    text += Row({kProgramKey, s.program});
    text += "\r\n";
    text += Row({kColumns[0], kColumns[1], kColumns[2], kColumns[3], kColumns[4]});
    for (std::size_t i = 0; i < kSetpointCount; ++i) {
        const SetpointField& field = kSetpointFields[i];
        const uint16_t value = s.values[i];
        text += Row({std::to_string(field.reg), field.label, std::to_string(value),
                     DecodeSetpoint(field, value, decimalSeparator), SetpointUnit(field)});
    }
    return Utf8ToCp1251(text);
}

SnapshotRead ParseSnapshotCsv(std::string_view bytes)
{
    const std::string_view bom = "\xEF\xBB\xBF";
    const bool hasBom = bytes.substr(0, bom.size()) == bom;
    if (hasBom)
        bytes.remove_prefix(bom.size());
    // A spreadsheet may save it back as UTF-8; Windows-1251 text with
    // Cyrillic in it is never valid UTF-8.
    const bool utf8 = ValidUtf8(bytes);
    if (hasBom && !utf8)
        return {std::nullopt, "не текст: после метки UTF-8 байты не в UTF-8"};
    if (const std::size_t bad = FirstUnreadableLine(bytes, !utf8))
        return {std::nullopt, AtLine(bad, "нечитаемые байты, это не текст")};
    const std::string text = utf8 ? std::string(bytes) : Cp1251ToUtf8(bytes);

    SetpointSnapshot snapshot;
    std::vector<std::size_t> rowOf(kSetpointCount, 0);  // the line of each register's row
    bool inTable = false;
    std::vector<std::string> f;
    std::size_t number = 0;
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!SplitFields(line, f))
            return {std::nullopt, AtLine(number, "кавычка не закрыта")};
        if (f.size() == 1 && f[0].empty())
            continue;
        if (!inTable) {
            if (f.size() >= 2 && f[0] == kColumns[0]) {
                if (f.size() != kColumnCount || !std::equal(f.begin(), f.end(), std::begin(kColumns)))
                    return {std::nullopt, AtLine(number, "столбцы не «Регистр;Уставка;Значение;Текст;Единица»")};
                inTable = true;
            } else if (f.size() <= 2) {
                const std::string value = f.size() == 2 ? f[1] : std::string();
                if (f[0] == kAddressKey)
                    snapshot.address = value;
                else if (f[0] == kNameKey)
                    snapshot.relayName = value;
                else if (f[0] == kLineKey)
                    snapshot.line = value;
                else if (f[0] == kTimeKey)
                    snapshot.takenAt = value;
                else if (f[0] == kProgramKey)
                    snapshot.program = value;
            } else {
                return {std::nullopt, AtLine(number, "таблица уставок без строки «Регистр;Уставка;Значение;Текст;Единица» над ней")};
            }
            continue;
        }
        if (f.size() < 3 || f.size() > kColumnCount)
            return {std::nullopt, AtLine(number, std::to_string(f.size()) + " столбцов вместо " + std::to_string(kColumnCount))};
        const std::optional<uint16_t> reg = ParseNumber(f[0], kFirstSetpointRegister,
                                                        kFirstSetpointRegister + kSetpointCount - 1);
        if (!reg)
            return {std::nullopt, AtLine(number, "регистр «" + f[0] + "» не число от "
                                                     + std::to_string(kFirstSetpointRegister) + " до "
                                                     + std::to_string(kFirstSetpointRegister + kSetpointCount - 1))};
        const std::size_t i = *reg - kFirstSetpointRegister;
        if (rowOf[i] != 0)
            return {std::nullopt, AtLine(number, "регистр " + f[0] + " уже был в строке " + std::to_string(rowOf[i]))};
        const std::optional<uint16_t> value = ParseNumber(f[2], 0, 65535);
        if (!value)
            return {std::nullopt, AtLine(number, "значение «" + f[2] + "» не число от 0 до 65535")};
        snapshot.values[i] = *value;
        rowOf[i] = number;
    }
    if (!inTable)
        return {std::nullopt, "это не снимок уставок: нет строки «Регистр;Уставка;Значение;Текст;Единица»"};
    std::string missing;
    std::size_t found = 0;
    for (std::size_t i = 0; i < rowOf.size(); ++i) {
        if (rowOf[i] != 0)
            ++found;
        else
            missing += (missing.empty() ? "" : ", ") + std::to_string(kFirstSetpointRegister + i);
    }
    if (!missing.empty())
        return {std::nullopt, "в файле " + std::to_string(found) + " уставок из " + std::to_string(kSetpointCount)
                                  + ", нет регистров " + missing};
    return {std::move(snapshot), {}};
}

std::vector<SetpointDifference> CompareSetpoints(const SetpointValues& saved, const SetpointValues& now)
{
    std::vector<SetpointDifference> differences;
    for (std::size_t i = 0; i < saved.size(); ++i)
        if (saved[i] != now[i])
            differences.push_back({static_cast<uint16_t>(kFirstSetpointRegister + i), saved[i], now[i]});
    return differences;
}

bool OfAnotherRelay(const SetpointSnapshot& file, const std::string& address)
{
    if (file.address.empty())
        return false;
    // A spreadsheet may have written "01" for 1.
    const std::optional<uint16_t> a = ParseNumber(file.address, 0, 65535);
    const std::optional<uint16_t> b = ParseNumber(address, 0, 65535);
    return a && b ? *a != *b : file.address != address;
}

std::string ComparisonSummary(std::size_t differing)
{
    return "совпадают " + std::to_string(kSetpointCount - differing) + " из " + std::to_string(kSetpointCount)
           + ", отличаются " + std::to_string(differing);
}

std::string ComparedText(const SetpointField& field, uint16_t value, uint16_t other,
                         const std::string& decimalSeparator)
{
    const bool same = value != other && DecodeSetpoint(field, value, decimalSeparator)
                                            == DecodeSetpoint(field, other, decimalSeparator);
    return DecodeSetpointWithUnit(field, value, decimalSeparator) + (same ? " (" + std::to_string(value) + ")" : "");
}

std::string DifferenceText(const SetpointDifference& d, const std::string& decimalSeparator)
{
    const SetpointField& field = kSetpointFields[d.reg - kFirstSetpointRegister];
    return std::string(field.label) + " (регистр " + std::to_string(d.reg) + "): реле "
           + ComparedText(field, d.now, d.saved, decimalSeparator) + ", файл "
           + ComparedText(field, d.saved, d.now, decimalSeparator);
}
