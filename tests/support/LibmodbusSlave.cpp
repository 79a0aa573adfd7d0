#include "LibmodbusSlave.h"

#include <modbus/modbus.h>
#include <poll.h>
#include <stdexcept>

namespace testing_support {

LibmodbusSlave::LibmodbusSlave(PtyPair& pty, int slave) : fd_(pty.PeerFd())
{
    // The device name is never opened: the context is handed our pty end.
    ctx_ = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    map_ = modbus_mapping_new(5, 0, 46, 0);
    if (!ctx_ || !map_)
        throw std::runtime_error("libmodbus context");
    modbus_set_slave(ctx_, slave);
    modbus_set_socket(ctx_, fd_);
    thread_ = std::thread([this] { Run(); });
}

LibmodbusSlave::~LibmodbusSlave()
{
    stop_ = true;
    thread_.join();
    modbus_mapping_free(map_);
    modbus_free(ctx_);  // does not close the pty: PtyPair owns it
}

void LibmodbusSlave::SetRegisters(const std::vector<uint16_t>& values)
{
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < values.size() && i < 46; ++i)
        map_->tab_registers[i] = values[i];
}

std::vector<uint16_t> LibmodbusSlave::Registers() const
{
    std::lock_guard lock(mutex_);
    return std::vector<uint16_t>(map_->tab_registers, map_->tab_registers + 46);
}

bool LibmodbusSlave::Coil(int index) const
{
    std::lock_guard lock(mutex_);
    return map_->tab_bits[index] != 0;
}

void LibmodbusSlave::Run()
{
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop_) {
        // libmodbus would wait for a request forever; look first, so that
        // the thread can be stopped.
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0 || !(pfd.revents & POLLIN))
            continue;
        const int length = modbus_receive(ctx_, request);
        if (length <= 0)
            continue;
        std::lock_guard lock(mutex_);
        if (modbus_reply(ctx_, request, length, map_) > 0)
            ++served_;
    }
}

} // namespace testing_support
