// The typed request on any text: a request is either refused with a line and
// a reason and no bytes, or it has one byte per line, each the value of the
// line's one or two leading hex digits.

#include "FuzzSupport.h"
#include "HexRequest.h"

#include <cctype>

namespace {

int Digit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    const HexRequest request = ParseHexLines(lines);
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();

    if (!request.Ok()) {
        FUZZ_CHECK(request.bytes.empty());
        FUZZ_CHECK(!request.error.empty());
        FUZZ_CHECK(request.errorLine >= 1 && request.errorLine <= static_cast<int>(lines.size()));
        return 0;
    }
    FUZZ_CHECK(lines.size() <= static_cast<std::size_t>(kMaxRequestBytes));
    FUZZ_CHECK(request.bytes.size() == lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string t = lines[i];
        while (!t.empty() && (t.front() == ' ' || t.front() == '\t'))
            t.erase(t.begin());
        while (!t.empty() && (t.back() == ' ' || t.back() == '\t'))
            t.pop_back();
        FUZZ_CHECK(!t.empty() && t.size() <= 2 && Digit(t[0]) >= 0);
        const int high = Digit(t[0]);
        const int low = t.size() == 2 ? Digit(t[1]) : -1;
        FUZZ_CHECK(request.bytes[i] == (low < 0 ? high : high * 16 + low));
    }
    return 0;
}
