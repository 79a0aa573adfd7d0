#include "TModBusDevice.h"

#include "ExchangeLog.h"
#include "LocalTime.h"
#include "ModbusFrame.h"
#include "MbapFrame.h"
#include "Transport.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const std::string kRequest = "Запрос";
const std::string kReply = "Ответ";
const std::string kBadCrc = "Ошибка CRC";
const std::string kNoReply = "Таймаут ответа!";

} // namespace

void TModBusDevice::LogLine(const std::string& text)
{
    if (!log_)
        return;
    const LocalTime now = LocalNow();
    log_->Add(FormatLogTime(now.hour, now.minute, now.second, now.millisecond) + '\t' + text);
}

void TModBusDevice::LogFrame(const std::string& label, std::span<const uint8_t> bytes)
{
    if (log_)
        LogLine(modbus::FormatFrame(label, bytes));
}

void TModBusDevice::SendRequest(std::span<const uint8_t> request)
{
    LogFrame(kRequest, request);
    if (!port_)
        return;
    port_->EnsureOpen();
    JournalPortProblem();
    port_->DiscardInput();
    sentAt_ = std::chrono::steady_clock::now();
    port_->Write(request.data(), static_cast<int>(request.size()));
}

void TModBusDevice::JournalPortProblem()
{
    PortProblem now = port_->Problem();
    if (now == portProblem_)
        return;
    std::string text = "Порт " + port_->PortName();
    if (now.kind == PortProblem::Kind::None) {
        text += " открыт";
    } else {
        // A connection the server closed has no system words, only its step.
        text += " не открыт: " + PortProblemWords(now) + " (" + now.step + (now.system.empty() ? "" : ": ")
                + now.system + ")";
    }
    if (log_) {
        const LocalTime t = LocalNow();
        log_->JournalOnly(FormatLogTime(t.hour, t.minute, t.second, t.millisecond) + '\t' + text);
    }
    portProblem_ = std::move(now);
}

bool TModBusDevice::ReadMore(std::vector<uint8_t>& reply, std::size_t n,
                             std::chrono::steady_clock::time_point until)
{
    const std::size_t had = reply.size();
    reply.resize(had + n);
    int got = 0;
    const bool inTime = ReadUntil(reply.data() + had, static_cast<int>(n), until, got);
    reply.resize(had + static_cast<std::size_t>(got));
    return inTime;
}

bool TModBusDevice::ReceiveRtu(std::span<const uint8_t> request, std::size_t n, Echo echo,
                               std::vector<uint8_t>& reply, bool& echoed)
{
    echoed = false;
    reply.clear();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    if (!ReadMore(reply, n, until))
        return false;
    // As much of the request as has come so far.
    const auto soFarEcho = [&] {
        const std::size_t k = std::min(reply.size(), request.size());
        return k > 0 && std::equal(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(k), reply.begin());
    };
    if (echo == Echo::None || !soFarEcho())
        return true;
    if (reply.size() < request.size()) {
        // Too short to tell; worth reading on only when an echo is expected.
        if (echo != Echo::Expected)
            return true;
        if (!ReadMore(reply, n - reply.size(), until))
            return false;
        if (reply.size() < request.size() || !soFarEcho())
            return true;
    }
    // The line's echo: what follows it is the reply, read on within the wait.
    reply.erase(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(request.size()));
    echoed = true;
    return reply.size() >= n || ReadMore(reply, n - reply.size(), until);
}

bool TModBusDevice::MayBeOwnEcho(std::span<const uint8_t> request, std::span<const uint8_t> reply) const
{
    if (lineSpeed_ == 0 || echoMode_ != EchoMode::Auto || echoDecided_ || framing_ != Framing::Rtu
        || !std::equal(request.begin(), request.end(), reply.begin(), reply.end()))
        return false;
    // 10 bits a character. A relay's reply ends no sooner than the request,
    // 3.5 characters of silence and the reply itself; an echo no sooner than
    // the request (a tenth off for clocks). A line without line time (a
    // pseudo-terminal, a virtual port) answers sooner still, and is believed.
    const double charMs = 10000.0 / lineSpeed_;
    const double tookMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sentAt_).count();
    return tookMs >= 0.9 * charMs * static_cast<double>(request.size())
           && tookMs < charMs * (static_cast<double>(request.size() + reply.size()) + 3.5);
}

void TModBusDevice::LogRejected(std::span<const uint8_t> received)
{
    lastOutcome_ = Outcome::Rejected;
    lastRejectedEmpty_ = received.empty();
    lastRejectedException_ = framing_ == Framing::Rtu
                                 ? modbus::IsExceptionReply(received)
                                 : received.size() > modbus::kMbapSize
                                       && modbus::IsExceptionPdu(received.subspan(modbus::kMbapSize));
    LogFrame(kBadCrc, received);
    if (port_)
        port_->ClearErrors();
}

void TModBusDevice::LogNoReply()
{
    LogLine(kNoReply);
    lastOutcome_ = Outcome::NoReply;
}

std::vector<uint8_t> TModBusDevice::Frame(std::span<const uint8_t> rtuRequest)
{
    if (framing_ == Framing::Rtu)
        return std::vector<uint8_t>(rtuRequest.begin(), rtuRequest.end());
    return modbus::WrapMbap(++transaction_, address_, modbus::RtuPdu(rtuRequest));
}

bool TModBusDevice::ReadUntil(uint8_t* buffer, int n, std::chrono::steady_clock::time_point until, int& received)
{
    received = 0;
    if (!port_)
        return true;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    try {
        received = port_->Read(buffer, n, static_cast<int>(std::max<long long>(left, 0)));
        return true;
    } catch (const ETimeout&) {
        LogNoReply();
        return false;
    }
}

bool TModBusDevice::ReceiveMbap(std::vector<uint8_t>& frame)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    for (;;) {
        frame.assign(modbus::kMbapSize, 0);
        int got = 0;
        if (!ReadUntil(frame.data(), static_cast<int>(frame.size()), until, got))
            return false;
        const modbus::MbapHeader header = modbus::ParseMbap(frame);
        if (got < static_cast<int>(modbus::kMbapSize) || !modbus::IsFrameHeader(header)) {
            frame.resize(static_cast<std::size_t>(got));
            LogRejected(frame);
            return false;
        }
        frame.resize(modbus::kMbapSize - 1 + header.length);
        const int rest = header.length - 1;
        if (!ReadUntil(frame.data() + modbus::kMbapSize, rest, until, got))
            return false;
        if (got < rest) {
            frame.resize(modbus::kMbapSize + static_cast<std::size_t>(got));
            LogRejected(frame);
            return false;
        }
        // A reply that came after its request had given up: not this one's.
        if (modbus::IsEarlierTransaction(header.transaction, transaction_))
            continue;
        if (header.transaction != transaction_ || header.unit != address_) {
            LogRejected(frame);
            return false;
        }
        return true;
    }
}

bool TModBusDevice::ReadHoldingRegisters(uint16_t* dest, uint16_t first, uint16_t count)
{
    const auto request = modbus::BuildReadHoldingRegisters(address_, first, count);
    SendRequest(Frame(request));

    if (framing_ == Framing::ModbusTcp) {
        std::vector<uint8_t> frame;
        if (!ReceiveMbap(frame))
            return false;
        const auto pdu = std::span<const uint8_t>(frame).subspan(modbus::kMbapSize);
        if (!modbus::ReplyAnswers(address_, modbus::RtuPdu(request), frame[modbus::kMbapSize - 1], pdu)) {
            LogRejected(frame);
            return false;
        }
        modbus::DecodeRegisters(pdu, count, dest);
        LogFrame(kReply, frame);
        lastOutcome_ = Outcome::Answered;
        return true;
    }

    const Echo echo = echoMode_ == EchoMode::Off ? Echo::None : RemovingEcho() ? Echo::Expected : Echo::Possible;
    std::vector<uint8_t> reply;
    bool echoed = false;
    if (!ReceiveRtu(request, modbus::ReadHoldingRegistersReplySize(count), echo, reply, echoed))
        return false;
    if (!modbus::RtuReplyAnswers(request, reply)) {
        LogRejected(reply);
        return false;
    }
    modbus::DecodeRegisters(modbus::RtuPdu(reply), count, dest);
    // Only an accepted reply decides, so that noise cannot turn it on or off.
    if (echoMode_ == EchoMode::Auto) {
        echoHeard_ = echoed;
        echoDecided_ = true;
    }
    LogFrame(kReply, reply);
    lastOutcome_ = Outcome::Answered;
    return true;
}

void TModBusDevice::WriteCoil(uint16_t coil, bool on)
{
    const auto request = modbus::BuildWriteCoil(address_, coil, on);
    SendRequest(Frame(request));

    if (framing_ == Framing::ModbusTcp) {
        std::vector<uint8_t> frame;
        if (!ReceiveMbap(frame))
            return;
        if (!modbus::ReplyAnswers(address_, modbus::RtuPdu(request), frame[modbus::kMbapSize - 1],
                                  std::span<const uint8_t>(frame).subspan(modbus::kMbapSize))) {
            LogRejected(frame);
            return;
        }
        LogFrame(kReply, frame);
        lastOutcome_ = Outcome::Answered;
        return;
    }

    // The reply repeats the request, so an echo can only be known from the
    // polls: looked for once they found one, never guessed here.
    std::vector<uint8_t> reply;
    bool echoed = false;
    if (!ReceiveRtu(request, modbus::WriteCoilReplySize, RemovingEcho() ? Echo::Expected : Echo::None, reply,
                    echoed))
        return;
    // The relay's copy comes after the line's, within the same wait.
    if (MayBeOwnEcho(request, reply)) {
        reply.clear();
        if (!ReadMore(reply, modbus::WriteCoilReplySize, sentAt_ + std::chrono::milliseconds(kReplyWaitMs)))
            return;
    }
    if (!modbus::RtuReplyAnswers(request, reply)) {
        LogRejected(reply);
        return;
    }
    LogFrame(kReply, reply);
    lastOutcome_ = Outcome::Answered;
}

void TModBusDevice::SendRaw(std::span<const uint8_t> bytes, bool appendCrc, int waitMs)
{
    waitMs = std::max(waitMs, 0);
    if (framing_ == Framing::ModbusTcp) {
        SendRawMbap(bytes, waitMs);
        return;
    }
    const auto request = modbus::BuildRaw(bytes, appendCrc);
    SendRequest(request);

    // The reply's length is unknown, so the whole wait passes before the
    // receive queue is looked at.
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    const int waiting = port_ ? port_->ClearErrors() : 0;
    if (waiting < 2) {
        LogNoReply();
        return;
    }
    std::vector<uint8_t> reply;
    if (!ReadMore(reply, static_cast<std::size_t>(waiting),
                  std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs)))
        return;
    auto got = std::span<const uint8_t>(reply);
    if (RemovingEcho() && got.size() >= request.size() && std::equal(request.begin(), request.end(), got.begin()))
        got = got.subspan(request.size());
    // Fewer than two bytes carry no CRC to check: no answer, as above.
    if (got.size() < 2) {
        LogNoReply();
        return;
    }
    if (!modbus::CheckRawReply(got)) {
        LogRejected(got);
        return;
    }
    LogFrame(kReply, got);
    lastOutcome_ = Outcome::Answered;
}

void TModBusDevice::SendRawMbap(std::span<const uint8_t> pdu, int waitMs)
{
    SendRequest(modbus::WrapMbap(++transaction_, address_, pdu));
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    const int waiting = port_ ? port_->ClearErrors() : 0;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::max(waiting, 0)));
    int received = 0;
    if (waiting < 2 || !ReadUntil(bytes.data(), waiting, std::chrono::steady_clock::now()
                                                              + std::chrono::milliseconds(waitMs), received)) {
        if (waiting < 2)
            LogNoReply();
        return;
    }
    bytes.resize(static_cast<std::size_t>(received));
    // The frame of this transaction among what came; late replies to
    // earlier requests may come before it.
    for (std::size_t at = 0; at + modbus::kMbapSize <= bytes.size();) {
        const auto header = modbus::ParseMbap(std::span(bytes).subspan(at));
        const std::size_t size = modbus::kMbapSize - 1 + header.length;
        if (!modbus::IsFrameHeader(header) || at + size > bytes.size())
            break;
        const auto frame = std::span<const uint8_t>(bytes).subspan(at, size);
        if (header.transaction == transaction_ && header.unit == address_) {
            LogFrame(kReply, frame);
            lastOutcome_ = Outcome::Answered;
            return;
        }
        if (!modbus::IsEarlierTransaction(header.transaction, transaction_))
            break;
        at += size;
    }
    LogRejected(bytes);
}
