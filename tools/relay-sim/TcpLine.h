#pragma once

#include "Line.h"
#include "Options.h"

#include <string>

namespace relaysim {

// The relay behind a serial device server in transparent mode: a TCP port
// whose client exchanges the very bytes of the serial line, CRC included.
// Like such a server it talks to one client at a time; another one that
// knocks meanwhile is closed at once, so that it knows.
class TcpLine : public Line {
public:
    // Listens at once; throws std::runtime_error with a message fit for the
    // user (such as a port in use).
    explicit TcpLine(const TcpAddress& address);
    ~TcpLine() override;
    TcpLine(const TcpLine&) = delete;
    TcpLine& operator=(const TcpLine&) = delete;

    int Fd() const override { return client_; }
    int ListenFd() const override { return listener_; }
    std::string PortName() const override { return "tcp://" + address_; }
    std::string Where() const override;

    std::string Accept() override;
    std::optional<std::string> Release() override;
    void Write(std::span<const uint8_t> bytes) override;
    bool Drain() override;

private:
    int listener_ = -1;
    int client_ = -1;
    std::string address_;  // HOST:PORT as bound, [::1] in brackets
    std::string peer_;     // the client's, for the messages
};

} // namespace relaysim
