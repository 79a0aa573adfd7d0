#pragma once

#include <cstdint>
#include <span>
#include <string>

class ExchangeLog;
class TCOMPort;

// Time of day as the log shows it: "9:05:07:45" -- hours without a leading
// zero, then ":" and the milliseconds without leading zeros.
std::string FormatLogTime(int hour, int minute, int second, int millisecond);

// The Modbus RTU master: one transaction at a time on one port, each logged.
// Neither the port nor the log is owned. No transaction throws.
class TModBusDevice {
public:
    static constexpr int kReplyWaitMs = 1000;

    // How the last transaction ended: answered, no answer in time, or an
    // answer that was rejected (short, garbled, an exception).
    enum class Outcome { Answered, NoReply, Rejected };
    Outcome LastOutcome() const { return lastOutcome_; }

    void SetPort(TCOMPort* port) { port_ = port; }
    void SetAddress(uint8_t address) { address_ = address; }
    void SetLog(ExchangeLog* log) { log_ = log; }

    // Function 3. dest is written, all count entries, only on success.
    bool ReadHoldingRegisters(uint16_t* dest, uint16_t first, uint16_t count);
    // Function 5; the outcome shows only in the log.
    void WriteCoil(uint16_t coil, bool on);
    // Sends the bytes as they are (plus their CRC when asked), waits the whole
    // waitMs, then takes whatever the receive queue holds as the reply.
    void SendRaw(std::span<const uint8_t> bytes, bool appendCrc, int waitMs);

    void LogLine(const std::string& text);
    void LogFrame(const std::string& label, std::span<const uint8_t> bytes);

private:
    // Writes the request after dropping stale input, so a late or overlong
    // reply to an earlier request cannot be read as the start of this one.
    void SendRequest(std::span<const uint8_t> request);
    // Reads an n-byte reply; false (after logging the timeout) on ETimeout.
    bool ReceiveReply(uint8_t* buffer, int n, int& received);
    void LogRejected(std::span<const uint8_t> received);

    TCOMPort* port_ = nullptr;
    uint8_t address_ = 1;
    ExchangeLog* log_ = nullptr;
    Outcome lastOutcome_ = Outcome::NoReply;
};
