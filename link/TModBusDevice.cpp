#include "TModBusDevice.h"

#include "ExchangeLog.h"
#include "LocalTime.h"
#include "ModbusFrame.h"
#include "TCOMPort.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
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

std::string FormatLogTime(int hour, int minute, int second, int millisecond)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d:%02d:%02d:%d", hour, minute, second, millisecond);
    return text;
}

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
    port_->DiscardInput();
    port_->Write(request.data(), static_cast<int>(request.size()));
}

bool TModBusDevice::ReceiveReply(uint8_t* buffer, int n, int& received)
{
    received = 0;
    if (!port_)
        return true;
    try {
        received = port_->Read(buffer, n, kReplyWaitMs);
        return true;
    } catch (const ETimeout&) {
        LogLine(kNoReply);
        lastOutcome_ = Outcome::NoReply;
        return false;
    }
}

void TModBusDevice::LogRejected(std::span<const uint8_t> received)
{
    lastOutcome_ = Outcome::Rejected;
    LogFrame(kBadCrc, received);
    if (port_)
        port_->ClearErrors();
}

bool TModBusDevice::ReadHoldingRegisters(uint16_t* dest, uint16_t first, uint16_t count)
{
    SendRequest(modbus::BuildReadHoldingRegisters(address_, first, count));

    std::vector<uint8_t> reply(modbus::ReadHoldingRegistersReplySize(count));
    int received = 0;
    if (!ReceiveReply(reply.data(), static_cast<int>(reply.size()), received))
        return false;
    const auto got = std::span<const uint8_t>(reply).first(received);
    if (!modbus::DecodeReadHoldingRegisters(got, count, dest)) {
        LogRejected(got);
        return false;
    }
    LogFrame(kReply, got);
    lastOutcome_ = Outcome::Answered;
    return true;
}

void TModBusDevice::WriteCoil(uint16_t coil, bool on)
{
    SendRequest(modbus::BuildWriteCoil(address_, coil, on));

    uint8_t reply[modbus::WriteCoilReplySize];
    int received = 0;
    if (!ReceiveReply(reply, sizeof reply, received))
        return;
    const auto got = std::span<const uint8_t>(reply).first(received);
    if (!modbus::CheckWriteCoilReply(got)) {
        LogRejected(got);
        return;
    }
    LogFrame(kReply, got);
    lastOutcome_ = Outcome::Answered;
}

void TModBusDevice::SendRaw(std::span<const uint8_t> bytes, bool appendCrc, int waitMs)
{
    waitMs = std::max(waitMs, 0);
    SendRequest(modbus::BuildRaw(bytes, appendCrc));

    // The reply's length is unknown, so the whole wait passes before the
    // receive queue is looked at.
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    const int waiting = port_ ? port_->ClearErrors() : 0;
    if (waiting < 2) {
        LogLine(kNoReply);
        lastOutcome_ = Outcome::NoReply;
        return;
    }
    std::vector<uint8_t> reply(waiting);
    int received = 0;
    try {
        received = port_->Read(reply.data(), waiting, waitMs);
    } catch (const ETimeout&) {
        LogLine(kNoReply);
        lastOutcome_ = Outcome::NoReply;
        return;
    }
    const auto got = std::span<const uint8_t>(reply).first(received);
    // Fewer than two bytes carry no CRC to check: no answer, as above.
    if (got.size() < 2) {
        LogLine(kNoReply);
        lastOutcome_ = Outcome::NoReply;
        return;
    }
    if (!modbus::CheckRawReply(got)) {
        LogRejected(got);
        return;
    }
    LogFrame(kReply, got);
    lastOutcome_ = Outcome::Answered;
}
