// A logged frame on any label and bytes: the line is the time, a tab, the
// label, ": " and each byte as two upper-case hex digits and a space, which
// reads back as the same bytes.

#include "ExchangeLog.h"
#include "FuzzSupport.h"
#include "TModBusDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::size_t labelSize = size ? std::min<std::size_t>(data[0], size - 1) : 0;
    const std::string label(reinterpret_cast<const char*>(data) + (size ? 1 : 0), labelSize);
    const std::span<const uint8_t> bytes(data + (size ? 1 + labelSize : 0), size ? size - 1 - labelSize : 0);

    // One log for every run, emptied now and then: a fresh log's first
    // block would cost a hundred times the run.
    static ExchangeLog log;
    if (log.Count() >= 100000)
        log.Clear();
    const std::size_t before = log.Count();
    TModBusDevice master;
    master.SetLog(&log);
    master.LogFrame(label, bytes);
    FUZZ_CHECK(log.Count() == before + 1);
    const std::string line = log.Line(before);
    const std::size_t tab = line.find('\t');
    FUZZ_CHECK(tab != std::string::npos && tab >= 9);
    const std::string body = line.substr(tab + 1);
    FUZZ_CHECK(body.size() == label.size() + 2 + 3 * bytes.size());
    FUZZ_CHECK(body.compare(0, label.size(), label) == 0);
    FUZZ_CHECK(body.compare(label.size(), 2, ": ") == 0);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t at = label.size() + 2 + 3 * i;
        FUZZ_CHECK(body[at] == kDigits[bytes[i] >> 4]);
        FUZZ_CHECK(body[at + 1] == kDigits[bytes[i] & 15]);
        FUZZ_CHECK(body[at + 2] == ' ');
    }
    return 0;
}
