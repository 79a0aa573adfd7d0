#pragma once

#include "ScriptedRelay.h"

#include <atomic>
#include <string>
#include <thread>

namespace testing_support {

// A scripted relay behind TCP on the loopback: a serial device server in
// transparent mode (RTU frames) or a Modbus TCP gateway (MBAP frames), one
// client at a time. It listens from construction, or from Listen() when
// made with listen = false, on a port chosen free beforehand, so that a
// client can first be refused and then find it.
class TcpRelay : public ScriptedRelay {
public:
    enum class Framing { Rtu, Mbap };

    // host: "127.0.0.1" or "::1".
    TcpRelay(Framing framing, std::string host = "127.0.0.1", bool listen = true);
    ~TcpRelay() override;

    void Listen();
    uint16_t Port() const { return port_; }
    // tcp://HOST:PORT or mbtcp://HOST:PORT, as PORT names this relay.
    std::string Address() const;
    // Connections accepted so far, and when each was.
    std::vector<Clock::time_point> Accepted() const;

protected:
    int Waiting() const override;
    Bytes Good(RelayAnswers& answers, const Bytes& request) override;

private:
    void Run();
    bool ReadRequest(Bytes& request);
    void Perform(const Reply& reply);

    const Framing framing_;
    const std::string host_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    std::atomic<int> clientFd_{-1};
    std::atomic<bool> stop_{false};
    mutable std::mutex acceptedMutex_;
    std::vector<Clock::time_point> accepted_;
    std::thread thread_;
};

// An RTU frame (address, PDU, CRC) as the MBAP frame of a transaction.
Bytes RtuToMbap(uint16_t transaction, const Bytes& rtu);

} // namespace testing_support
