#pragma once

#include "PtyPair.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct _modbus;
struct _modbus_mapping_t;

namespace testing_support {

// A Modbus RTU slave written by others: libmodbus, serving 46 holding
// registers and 5 coils on the far end of a pty, from its own thread.
class LibmodbusSlave {
public:
    explicit LibmodbusSlave(PtyPair& pty, int slave = 1);
    ~LibmodbusSlave();
    LibmodbusSlave(const LibmodbusSlave&) = delete;
    LibmodbusSlave& operator=(const LibmodbusSlave&) = delete;

    void SetRegisters(const std::vector<uint16_t>& values);
    std::vector<uint16_t> Registers() const;
    bool Coil(int index) const;
    int Served() const { return served_.load(); }

private:
    void Run();

    _modbus* ctx_ = nullptr;
    _modbus_mapping_t* map_ = nullptr;
    int fd_;
    mutable std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::atomic<int> served_{0};
    std::thread thread_;
};

} // namespace testing_support
