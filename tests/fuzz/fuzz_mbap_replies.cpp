// The master's Modbus TCP reply path on any bytes from the line: a poll, a
// coil write or a typed request, its reply found exactly when an
// independent reading of the stream finds it (late replies to earlier
// transactions skipped, the first other frame or a wrong unit ending the
// search), registers written only then, and no read ever asking for more
// than a frame can hold.
//
// Input: op (low bits: 0 poll, 1 coil, 2 typed; bit 7: a read that cannot
// be filled runs out of time instead of returning what there is), the unit,
// the register count, then what the line delivers.

#include "ExchangeLog.h"
#include "FuzzSupport.h"
#include "MbapFrame.h"
#include "ModbusFrame.h"
#include "TModBusDevice.h"
#include "Transport.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

// The line: the reply bytes are there at once, and nothing after them.
class FuzzLine : public Transport {
public:
    FuzzLine(std::span<const uint8_t> bytes, bool timeOut, int mostAsked)
        : bytes_(bytes), timeOut_(timeOut), mostAsked_(mostAsked)
    {
    }
    const std::string& PortName() const override { return name_; }
    bool IsOpen() const override { return true; }
    bool EnsureOpen() override { return true; }
    void Close() override {}
    int Read(uint8_t* buffer, int n, int) override
    {
        FUZZ_CHECK(n > 0 && n <= mostAsked_);
        const std::size_t left = bytes_.size() - at_;
        if (timeOut_ && left < static_cast<std::size_t>(n)) {
            at_ = bytes_.size();
            throw ETimeout();
        }
        const std::size_t k = std::min(left, static_cast<std::size_t>(n));
        std::memcpy(buffer, bytes_.data() + at_, k);
        at_ += k;
        return static_cast<int>(k);
    }
    int Write(const uint8_t*, int n) override { return n; }
    int ClearErrors() override { return static_cast<int>(bytes_.size() - at_); }
    void DiscardInput() override {}  // the reply comes after the request goes

private:
    std::string name_ = "mbtcp://fuzz:502";
    std::span<const uint8_t> bytes_;
    bool timeOut_;
    int mostAsked_;
    std::size_t at_ = 0;
};

uint16_t Field(std::span<const uint8_t> b, std::size_t at)
{
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

enum class Found { Frame, Wrong, Short };

// The frame of `transaction` in the stream, read frame by frame.
Found FindFrame(std::span<const uint8_t> s, uint16_t transaction, uint8_t unit, std::span<const uint8_t>& frame)
{
    for (std::size_t at = 0;;) {
        if (s.size() - at < 7)
            return Found::Short;
        const uint16_t length = Field(s, at + 4);
        if (Field(s, at + 2) != 0 || length < 2 || length > 254)
            return Found::Wrong;
        if (s.size() - at < 6u + length)
            return Found::Short;
        frame = s.subspan(at, 6u + length);
        const uint16_t t = Field(s, at);
        const bool earlier = t != transaction && static_cast<uint16_t>(transaction - t) < 0x8000;
        if (!earlier)
            return t == transaction && s[at + 6] == unit ? Found::Frame : Found::Wrong;
        at += frame.size();
    }
}

bool PduAccepted(int op, std::span<const uint8_t> pdu, uint16_t count)
{
    if (op == 0)
        return pdu.size() == 2u + 2u * count && pdu[0] == 0x03 && pdu[1] == 2 * count;
    if (op == 1)  // the coil written below, and its state
        return pdu.size() == 5 && pdu[0] == 0x05 && pdu[1] == 0 && pdu[2] == 2 && pdu[3] == 0xFF && pdu[4] == 0;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const int op = (data[0] & 0x7F) % 3;
    const bool timeOut = (data[0] & 0x80) != 0 && op != 2;  // a typed request reads only what is there
    const uint8_t unit = data[1];
    const uint16_t count = static_cast<uint16_t>(1 + data[2] % 125);
    const std::span<const uint8_t> stream(data + 3, size - 3);

    // One log for all runs: a new one's first block costs more than the run.
    static ExchangeLog log;
    if (log.Count() > 10000)
        log.Clear();
    // A frame's own length bounds each read of a poll or a coil write: the
    // unit and a PDU. A typed request takes all that is there.
    FuzzLine line(stream, timeOut, op == 2 ? static_cast<int>(stream.size()) : modbus::kMaxMbapLength - 1);
    TModBusDevice master;
    master.SetLog(&log);
    master.SetPort(&line);
    master.SetFraming(TModBusDevice::Framing::ModbusTcp);
    master.SetAddress(unit);
    constexpr uint16_t kUntouched = 0xA55A;
    std::vector<uint16_t> dest(std::size_t{count} + 1, kUntouched);
    if (op == 0)
        master.ReadHoldingRegisters(dest.data(), 0, count);
    else if (op == 1)
        master.WriteCoil(2, true);
    else
        master.SendRaw(std::vector<uint8_t>{0x03, 0x00, 0x00, 0x00, 0x01}, false, 0);

    std::span<const uint8_t> frame;
    const Found found = FindFrame(stream, 1, unit, frame);
    const bool accepted = found == Found::Frame && PduAccepted(op, frame.subspan(7), count);
    using Outcome = TModBusDevice::Outcome;
    const bool silent = (found == Found::Short && timeOut) || (op == 2 && stream.size() < 2);
    FUZZ_CHECK(master.LastOutcome() == (accepted ? Outcome::Answered : silent ? Outcome::NoReply : Outcome::Rejected));
    const std::string last = log.Line(log.Count() - 1);
    if (accepted)
        FUZZ_CHECK(last.substr(last.find('\t') + 1) == modbus::FormatFrame("Ответ", frame));
    for (std::size_t i = 0; i < count; ++i)
        FUZZ_CHECK(dest[i] == (accepted && op == 0 ? Field(frame, 9 + 2 * i) : kUntouched));
    FUZZ_CHECK(dest[count] == kUntouched);
    return 0;
}
