#pragma once

#include "RegisterMap.h"

#include <cstdint>
#include <optional>
#include <vector>

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace relaysim {

// libmodbus in the relay's role. Requests are read straight from the line;
// replies are built by libmodbus but written into a socket pair and read
// back, so that the caller can hold them for the line's pacing and spoil
// them for fault injection before they go out.
class ModbusSlave {
public:
    static constexpr uint16_t kCoilCount = 5;  // 0 acknowledge, 1..4 RL1..RL4

    // Throws std::runtime_error. lineFd may be -1 until Attach.
    ModbusSlave(int lineFd, uint8_t address);
    ~ModbusSlave();
    ModbusSlave(const ModbusSlave&) = delete;
    ModbusSlave& operator=(const ModbusSlave&) = delete;

    // Reads requests from another descriptor from now on (a new TCP
    // client), with nothing remembered from the last one.
    void Attach(int lineFd);

    // One request addressed to this relay (or broadcast), read from the line
    // once it is readable; nullopt for a frame to ignore or a broken one.
    std::optional<std::vector<uint8_t>> Receive();

    // The normal reply, served from and written into the register and coil
    // tables; empty when no reply is due (a broadcast).
    std::vector<uint8_t> Reply(const std::vector<uint8_t>& request);
    std::vector<uint8_t> ReplyException(const std::vector<uint8_t>& request, uint8_t code);

    void LoadRegisters(const Registers& values);
    uint16_t Register(uint16_t r) const;
    bool Coil(uint16_t coil) const;
    void SetCoil(uint16_t coil, bool on);

private:
    void OpenLineContext();
    void Release();
    std::vector<uint8_t> TakeBuilt();

    int lineFd_;
    uint8_t address_;
    modbus_t* line_ = nullptr;
    modbus_t* builder_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    int pair_[2] = {-1, -1};  // [0] given to builder_, [1] read back here
};

} // namespace relaysim
