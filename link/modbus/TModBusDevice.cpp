#include "TModBusDevice.h"

#include "ExchangeLog.h"
#include "LocalTime.h"
#include "ModbusFrame.h"
#include "Transport.h"

#include <algorithm>
#include <chrono>
#include <optional>
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

bool TModBusDevice::ReadUntil(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until)
{
    if (!port_)
        return true;
    const std::size_t had = bytes.size();
    bytes.resize(had + n);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    int got = 0;
    try {
        got = port_->Read(bytes.data() + had, static_cast<int>(n), static_cast<int>(std::max<long long>(left, 0)));
    } catch (const ETimeout&) {
        bytes.resize(had);
        return false;
    }
    bytes.resize(had + static_cast<std::size_t>(std::max(got, 0)));
    return true;
}

bool TModBusDevice::ReadMore(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until)
{
    if (ReadUntil(bytes, n, until))
        return true;
    LogNoReply();
    return false;
}

bool TModBusDevice::ReadMoreIfAny(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until)
{
    const std::size_t had = bytes.size();
    return ReadUntil(bytes, n, until) && bytes.size() > had;
}

void TModBusDevice::LogRejected(std::span<const uint8_t> received)
{
    lastOutcome_ = Outcome::Rejected;
    lastRejectedEmpty_ = received.empty();
    lastRejectedException_ = CurrentFraming().IsException(received);
    LogFrame(kBadCrc, received);
    if (port_)
        port_->ClearErrors();
}

void TModBusDevice::LogNoReply()
{
    LogLine(kNoReply);
    lastOutcome_ = Outcome::NoReply;
}

void TModBusDevice::LogAnswered(std::span<const uint8_t> reply)
{
    LogFrame(kReply, reply);
    lastOutcome_ = Outcome::Answered;
}

modbus::Framing& TModBusDevice::CurrentFraming()
{
    if (framing_ == Framing::ModbusTcp)
        return mbap_;
    return rtu_;
}

bool TModBusDevice::Transact(std::span<const uint8_t> pdu, std::size_t replyPduSize, modbus::Exchange kind,
                             std::vector<uint8_t>& reply, std::span<const uint8_t>& replyPdu)
{
    modbus::Framing& framing = CurrentFraming();
    const std::vector<uint8_t> request = framing.Wrap(address_, pdu);
    SendRequest(request);
    if (!framing.Receive(*this, request, replyPduSize, kind, reply))
        return false;
    uint8_t unit = 0;
    if (!framing.Open(reply, unit, replyPdu) || !modbus::ReplyAnswers(address_, pdu, unit, replyPdu)) {
        LogRejected(reply);
        return false;
    }
    framing.Accepted(kind);
    LogAnswered(reply);
    return true;
}

bool TModBusDevice::ReadHoldingRegisters(uint16_t* dest, uint16_t first, uint16_t count)
{
    std::vector<uint8_t> reply;
    std::span<const uint8_t> pdu;
    if (!Transact(modbus::ReadHoldingRegistersPdu(first, count), modbus::ReadHoldingRegistersReplyPduSize(count),
                  modbus::Exchange::Poll, reply, pdu))
        return false;
    modbus::DecodeRegisters(pdu, count, dest);
    return true;
}

void TModBusDevice::WriteCoil(uint16_t coil, bool on)
{
    std::vector<uint8_t> reply;
    std::span<const uint8_t> pdu;
    Transact(modbus::WriteCoilPdu(coil, on), modbus::WriteCoilReplyPduSize, modbus::Exchange::CoilWrite, reply, pdu);
}

bool TModBusDevice::Pass(std::span<const uint8_t> pdu, std::vector<uint8_t>& replyPdu)
{
    const std::optional<std::size_t> size = modbus::ReplyPduSize(pdu);
    if (!size)
        return false;
    // Writes of one coil or register are answered with their request, as a
    // coil write is: its echo is known only from the polls.
    const bool repeats = pdu[0] == 0x05 || pdu[0] == 0x06;
    std::vector<uint8_t> reply;
    std::span<const uint8_t> answer;
    if (Transact(pdu, *size, repeats ? modbus::Exchange::CoilWrite : modbus::Exchange::Poll, reply, answer)) {
        replyPdu.assign(answer.begin(), answer.end());
        return true;
    }
    uint8_t unit = 0;
    if (!LastRejectedException() || !CurrentFraming().Open(reply, unit, answer) || unit != address_
        || answer.size() != 2 || answer[0] != (pdu[0] | 0x80))
        return false;
    replyPdu.assign(answer.begin(), answer.end());
    return true;
}

void TModBusDevice::SendRaw(std::span<const uint8_t> bytes, bool appendCrc, int waitMs)
{
    waitMs = std::max(waitMs, 0);
    modbus::Framing& framing = CurrentFraming();
    const std::vector<uint8_t> request = framing.WrapRaw(address_, bytes, appendCrc);
    SendRequest(request);

    // The reply's length is unknown, so the whole wait passes before the
    // receive queue is looked at.
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    const int waiting = port_ ? port_->ClearErrors() : 0;
    if (waiting < 2) {
        LogNoReply();
        return;
    }
    std::vector<uint8_t> received;
    if (!ReadMore(received, static_cast<std::size_t>(waiting), Clock::now() + std::chrono::milliseconds(waitMs)))
        return;
    std::span<const uint8_t> reply;
    switch (framing.RawReply(request, received, reply)) {
    case modbus::RawVerdict::NoReply:
        LogNoReply();
        break;
    case modbus::RawVerdict::Rejected:
        LogRejected(reply);
        break;
    case modbus::RawVerdict::Answered:
        LogAnswered(reply);
        break;
    }
}
