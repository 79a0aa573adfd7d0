#pragma once

#include "RegisterMap.h"

#include <cstdint>
#include <optional>
#include <vector>

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace relaysim {

// libmodbus in the role of the relays on the line, each with tables of its
// own. Requests are read straight from the line; replies are built by
// libmodbus but written into a socket pair and read back, so that the caller
// can hold them for the line's pacing and spoil them for fault injection
// before they go out. A relay is named by its index in the addresses given.
class ModbusSlave {
public:
    static constexpr uint16_t kCoilCount = 5;  // 0 acknowledge, 1..4 RL1..RL4

    // Throws std::runtime_error. lineFd may be -1 until Attach. addresses:
    // at least one, none twice.
    ModbusSlave(int lineFd, std::vector<uint8_t> addresses);
    ~ModbusSlave();
    ModbusSlave(const ModbusSlave&) = delete;
    ModbusSlave& operator=(const ModbusSlave&) = delete;

    // Reads requests from another descriptor from now on (a new TCP
    // client), with nothing remembered from the last one.
    void Attach(int lineFd);

    // One request addressed to a relay played here (or broadcast), read
    // from the line once it is readable; nullopt for a frame to ignore or a
    // broken one.
    std::optional<std::vector<uint8_t>> Receive();

    // The normal reply of relay `unit`, served from and written into its
    // register and coil tables; empty when no reply is due (a broadcast).
    std::vector<uint8_t> Reply(std::size_t unit, const std::vector<uint8_t>& request);
    std::vector<uint8_t> ReplyException(const std::vector<uint8_t>& request, uint8_t code);

    void LoadRegisters(std::size_t unit, const Registers& values);
    uint16_t Register(std::size_t unit, uint16_t r) const;
    bool Coil(std::size_t unit, uint16_t coil) const;
    void SetCoil(std::size_t unit, uint16_t coil, bool on);

private:
    void OpenLineContext();
    int Recheck(uint8_t* frame);
    void Release();
    std::vector<uint8_t> TakeBuilt();

    int lineFd_;
    std::vector<uint8_t> addresses_;
    modbus_t* line_ = nullptr;     // its slave: addresses_[0]
    modbus_t* builder_ = nullptr;  // also rechecks the frames for the others
    std::vector<modbus_mapping_t*> mappings_;  // one per address
    int pair_[2] = {-1, -1};  // [0] given to builder_, [1] read back here
};

} // namespace relaysim
