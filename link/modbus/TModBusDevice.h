#pragma once

#include "PortProblem.h"

#include <algorithm>
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
// number goes up by one with each request, then the PDU) to a gateway.
class TModBusDevice {
public:
    static constexpr int kReplyWaitMs = 1000;

    enum class Framing { Rtu, ModbusTcp };

    // How the last transaction ended: answered, no answer in time, or an
    // answer that was rejected (short, garbled, an exception).
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
    // two-wire RS-485 adapters hear their own sending: Auto decides on each
    // poll (function 3, whose reply never begins with its request) and
    // keeps the decision for coil writes and typed requests; On always
    // expects it; Off never looks. RTU framing only.
    enum class EchoMode { Auto, On, Off };
    void SetEchoMode(EchoMode mode) { echoMode_ = mode; }
    // The echo is being taken off: ECHO on, or auto with the last decided
    // poll echoed.
    bool RemovingEcho() const
    {
        return framing_ == Framing::Rtu
               && (echoMode_ == EchoMode::On || (echoMode_ == EchoMode::Auto && echoHeard_));
    }

    void SetPort(Transport* port) { port_ = port; }
    void SetFraming(Framing framing) { framing_ = framing; }
    Framing GetFraming() const { return framing_; }
    void SetAddress(uint8_t address) { address_ = address; }
    void SetLog(ExchangeLog* log) { log_ = log; }
    // The serial line's speed (8N1), for what a reply's timing can tell; 0
    // (the default) for a line whose timing tells nothing, e.g. a network.
    void SetLineSpeed(int32_t bitsPerSecond) { lineSpeed_ = std::max<int32_t>(bitsPerSecond, 0); }

    // Function 3. dest is written, all count entries, only on success.
    bool ReadHoldingRegisters(uint16_t* dest, uint16_t first, uint16_t count);
    // Function 5; the outcome shows only in the log.
    void WriteCoil(uint16_t coil, bool on);
    // Sends the bytes as they are (plus their CRC when asked), waits the whole
    // waitMs, then takes whatever the receive queue holds as the reply. On
    // Modbus TCP the bytes are the PDU after an MBAP header, and no CRC goes.
    void SendRaw(std::span<const uint8_t> bytes, bool appendCrc, int waitMs);

    void LogLine(const std::string& text);
    void LogFrame(const std::string& label, std::span<const uint8_t> bytes);

private:
    // Writes the request after dropping stale input, so a late or overlong
    // reply to an earlier request cannot be read as the start of this one.
    void SendRequest(std::span<const uint8_t> request);
    // Why the line is not open, in the journal (never the log) once each
    // time it changes, and that it is open again.
    void JournalPortProblem();
    // How the echo is looked for in one RTU reply: not at all; taken off
    // when the whole request came back first; or expected, so that a read
    // that ended inside it reads on.
    enum class Echo { None, Possible, Expected };
    // Reads an RTU reply of up to n bytes within the reply wait, without the
    // request's echo before it (echoed says whether there was one); false,
    // after logging the timeout, on ETimeout.
    bool ReceiveRtu(std::span<const uint8_t> request, std::size_t n, Echo echo, std::vector<uint8_t>& reply,
                    bool& echoed);
    // Reads up to n more bytes onto the end of reply.
    bool ReadMore(std::vector<uint8_t>& reply, std::size_t n, std::chrono::steady_clock::time_point until);
    // A coil write's "reply" that is its request, complete sooner than any
    // relay could answer but no sooner than the request could be sent: on
    // a line whose echo is not yet known, likely the line's own echo.
    bool MayBeOwnEcho(std::span<const uint8_t> request, std::span<const uint8_t> reply) const;
    void LogRejected(std::span<const uint8_t> received);
    void LogNoReply();
    // The frame that goes out for an RTU request, as the framing wants it.
    std::vector<uint8_t> Frame(std::span<const uint8_t> rtuRequest);
    // Modbus TCP: reads frames until the one for this transaction (a late
    // reply to an earlier one is dropped) within the reply wait. False,
    // after logging the timeout or the rejected bytes, when none comes.
    bool ReceiveMbap(std::vector<uint8_t>& frame);
    bool ReadUntil(uint8_t* buffer, int n, std::chrono::steady_clock::time_point until, int& received);
    void SendRawMbap(std::span<const uint8_t> pdu, int waitMs);

    Transport* port_ = nullptr;
    Framing framing_ = Framing::Rtu;
    uint16_t transaction_ = 0;
    uint8_t address_ = 1;
    ExchangeLog* log_ = nullptr;
    Outcome lastOutcome_ = Outcome::NoReply;
    bool lastRejectedEmpty_ = false;
    bool lastRejectedException_ = false;
    EchoMode echoMode_ = EchoMode::Auto;
    bool echoHeard_ = false;
    bool echoDecided_ = false;  // an accepted poll has decided echoHeard_
    int32_t lineSpeed_ = 0;
    std::chrono::steady_clock::time_point sentAt_{};  // the last request's write began
    PortProblem portProblem_;
};
