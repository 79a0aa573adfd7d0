#pragma once

#include "Framing.h"
#include "PortProblem.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

class ExchangeLog;
class Transport;

// The Modbus master: one transaction at a time on one line, each logged.
// Neither the line nor the log is owned. No transaction throws. Frames are
// RTU (address, PDU, CRC) on a serial line and on a TCP connection to a
// serial device server, or Modbus TCP (an MBAP header whose transaction
// number goes up by one with each request, then the PDU) to a gateway; each
// transaction is written once over the framing (Framing.h), and its reply
// checked once whatever the framing (modbus::ReplyAnswers).
class TModBusDevice : private modbus::FramingLine {
public:
    static constexpr int kReplyWaitMs = modbus::kReplyWaitMs;

    enum class Framing { Rtu, ModbusTcp };

    // How the last transaction ended: answered, no answer in time, or an
    // answer that was rejected (short, garbled, an exception, another
    // slave's or another request's).
    enum class Outcome { Answered, NoReply, Rejected };
    Outcome LastOutcome() const { return lastOutcome_; }
    // The last transaction heard nothing back: no reply in time, or a line
    // that gave no byte at all (a port that is not open).
    bool LastHeardNothing() const
    {
        return lastOutcome_ == Outcome::NoReply || (lastOutcome_ == Outcome::Rejected && lastRejectedEmpty_);
    }
    // The last transaction was rejected because the relay answered with an
    // exception: it is there and heard us, unlike a garbled reply.
    bool LastRejectedException() const { return lastOutcome_ == Outcome::Rejected && lastRejectedException_; }

    // Whether the request's echo is looked for in what comes back, as some
    // two-wire RS-485 adapters hear their own sending (RTU framing only; see
    // modbus::RtuFraming).
    using EchoMode = modbus::RtuFraming::EchoMode;
    void SetEchoMode(EchoMode mode) { rtu_.SetEchoMode(mode); }
    // The echo is being taken off: ECHO on, or auto with the last decided
    // poll echoed.
    bool RemovingEcho() const { return framing_ == Framing::Rtu && rtu_.RemovingEcho(); }

    void SetPort(Transport* port) { port_ = port; }
    void SetFraming(Framing framing) { framing_ = framing; }
    Framing GetFraming() const { return framing_; }
    void SetAddress(uint8_t address) { address_ = address; }
    uint8_t Address() const { return address_; }
    void SetLog(ExchangeLog* log) { log_ = log; }
    // The serial line's speed (8N1), for what a reply's timing can tell; 0
    // (the default) for a line whose timing tells nothing, e.g. a network.
    void SetLineSpeed(int32_t bitsPerSecond) { rtu_.SetLineSpeed(bitsPerSecond); }

    // Function 3. dest is written, all count entries, only on success.
    bool ReadHoldingRegisters(uint16_t* dest, uint16_t first, uint16_t count);
    // Function 5; the outcome shows only in the log.
    void WriteCoil(uint16_t coil, bool on);
    // Sends the bytes as they are (plus their CRC when asked), waits the whole
    // waitMs, then takes whatever the receive queue holds as the reply. On
    // Modbus TCP the bytes are the PDU after an MBAP header, and no CRC goes.
    void SendRaw(std::span<const uint8_t> bytes, bool appendCrc, int waitMs);

    // A request of another master passed on to the unit at the master's
    // address (a gateway's client): true with the reply's PDU, or with an
    // exception's, when the unit answered. The request must be one whose
    // reply's size modbus::ReplyPduSize knows.
    bool Pass(std::span<const uint8_t> pdu, std::vector<uint8_t>& replyPdu);

    void LogLine(const std::string& text);
    void LogFrame(const std::string& label, std::span<const uint8_t> bytes);

private:
    modbus::Framing& CurrentFraming();
    // One request and its reply, checked; the reply's frame in reply. False,
    // after logging, when it was not answered.
    bool Transact(std::span<const uint8_t> pdu, std::size_t replyPduSize, modbus::Exchange kind,
                  std::vector<uint8_t>& reply, std::span<const uint8_t>& replyPdu);
    // Writes the request after dropping stale input, so a late or overlong
    // reply to an earlier request cannot be read as the start of this one.
    void SendRequest(std::span<const uint8_t> request);
    // Why the line is not open, in the journal (never the log) once each
    // time it changes, and that it is open again.
    void JournalPortProblem();
    void LogRejected(std::span<const uint8_t> received);
    void LogNoReply();
    void LogAnswered(std::span<const uint8_t> reply);

    // What the framings ask of the line.
    bool ReadMore(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until) override;
    bool ReadMoreIfAny(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until) override;
    // Reads as ReadMore does; false, with nothing logged, when the wait ran out.
    bool ReadUntil(std::vector<uint8_t>& bytes, std::size_t n, Clock::time_point until);
    Clock::time_point SentAt() const override { return sentAt_; }
    void Reject(std::span<const uint8_t> received) override { LogRejected(received); }

    Transport* port_ = nullptr;
    Framing framing_ = Framing::Rtu;
    modbus::RtuFraming rtu_;
    modbus::MbapFraming mbap_;
    uint8_t address_ = 1;
    ExchangeLog* log_ = nullptr;
    Outcome lastOutcome_ = Outcome::NoReply;
    bool lastRejectedEmpty_ = false;
    bool lastRejectedException_ = false;
    Clock::time_point sentAt_{};  // the last request's write began
    PortProblem portProblem_;
};
