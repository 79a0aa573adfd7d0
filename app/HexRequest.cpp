#include "HexRequest.h"

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

HexRequest ParseHexLines(std::vector<std::string> lines)
{
    HexRequest request;
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.size() > static_cast<std::size_t>(kMaxRequestBytes)) {
        request.errorLine = kMaxRequestBytes + 1;
        request.error = "в запросе " + std::to_string(lines.size()) + " строк, а байтов в нём может быть не больше "
                        + std::to_string(kMaxRequestBytes);
        return request;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::size_t first = 0;
        while (first < line.size() && IsBlank(line[first]))
            ++first;
        std::size_t last = line.size();
        while (last > first && IsBlank(line[last - 1]))
            --last;
        auto refuse = [&](const std::string& why) {
            request.bytes.clear();
            request.errorLine = static_cast<int>(i) + 1;
            request.error = why;
            return request;
        };
        if (first == last)
            return refuse("пустая строка, а в каждой строке должен быть один байт");
        if (last - first > 2)
            return refuse("больше двух знаков: «" + line.substr(first, last - first) + "»");
        const int high = HexDigit(line[first]);
        if (high < 0)
            return refuse("строка начинается не с шестнадцатеричной цифры: «" + line.substr(first, last - first) + "»");
        const int low = last - first == 2 ? HexDigit(line[first + 1]) : -1;
        request.bytes.push_back(static_cast<uint8_t>(low < 0 ? high : high * 16 + low));
    }
    return request;
}
