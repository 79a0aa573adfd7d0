#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _modbus;
struct _modbus_mapping_t;

namespace testing_support {

// A Modbus TCP server written by others: libmodbus, serving 46 holding
// registers and 5 coils on the loopback, one client at a time, from its own
// thread.
class LibmodbusTcpServer {
public:
    // host: "127.0.0.1" or "::1"; the port is chosen free.
    explicit LibmodbusTcpServer(const std::string& host = "127.0.0.1");
    ~LibmodbusTcpServer();
    LibmodbusTcpServer(const LibmodbusTcpServer&) = delete;
    LibmodbusTcpServer& operator=(const LibmodbusTcpServer&) = delete;

    uint16_t Port() const { return port_; }
    // mbtcp://HOST:PORT, as PORT names this server.
    std::string Address() const;
    void SetRegisters(const std::vector<uint16_t>& values);
    std::vector<uint16_t> Registers() const;
    bool Coil(int index) const;
    int Served() const { return served_.load(); }

private:
    void Run();

    std::string host_;
    _modbus* ctx_ = nullptr;
    _modbus_mapping_t* map_ = nullptr;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    std::thread thread_;
};

} // namespace testing_support
