#include "ModbusSlave.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <modbus.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace relaysim {
namespace {

modbus_t* NewContext(int fd, uint8_t address)
{
    // The device name is never opened: the descriptor is handed over instead,
    // and without modbus_connect libmodbus never closes it either.
    modbus_t* ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    if (!ctx)
        throw std::runtime_error(std::string("libmodbus: ") + modbus_strerror(errno));
    modbus_set_slave(ctx, address);
    modbus_set_socket(ctx, fd);
    return ctx;
}

} // namespace

ModbusSlave::ModbusSlave(int lineFd, uint8_t address) : lineFd_(lineFd), address_(address)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_) != 0)
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    ::fcntl(pair_[1], F_SETFL, O_NONBLOCK);
    try {
        OpenLineContext();
        builder_ = NewContext(pair_[0], address);
        mapping_ = modbus_mapping_new(kCoilCount, 0, static_cast<int>(kRegisterCount), 0);
        if (!mapping_)
            throw std::runtime_error("libmodbus: cannot allocate the register tables");
    } catch (...) {
        Release();
        throw;
    }
}

ModbusSlave::~ModbusSlave()
{
    Release();
}

void ModbusSlave::Release()
{
    if (mapping_)
        modbus_mapping_free(mapping_);
    if (builder_)
        modbus_free(builder_);
    if (line_)
        modbus_free(line_);
    mapping_ = nullptr;
    builder_ = line_ = nullptr;
    for (int& fd : pair_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void ModbusSlave::OpenLineContext()
{
    if (line_)
        modbus_free(line_);
    line_ = nullptr;
    line_ = NewContext(lineFd_, address_);
    // The whole request arrives at once over a pty or the loopback; a frame
    // cut short is given up quickly instead of holding the loop.
    modbus_set_byte_timeout(line_, 0, 50000);
    modbus_set_indication_timeout(line_, 0, 100000);
}

void ModbusSlave::Attach(int lineFd)
{
    lineFd_ = lineFd;
    OpenLineContext();
}

std::optional<std::vector<uint8_t>> ModbusSlave::Receive()
{
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH];
    const int n = modbus_receive(line_, request);
    if (n == 0) {
        // A request for another slave. libmodbus would now take the next
        // frame for that slave's reply and drop it unseen; but no other
        // slave lives on this line, so the next frame is the master's next
        // request. A fresh context forgets the expectation.
        OpenLineContext();
    }
    if (n <= 0)
        return std::nullopt;
    return std::vector<uint8_t>(request, request + n);
}

std::vector<uint8_t> ModbusSlave::TakeBuilt()
{
    std::vector<uint8_t> reply;
    uint8_t buffer[MODBUS_RTU_MAX_ADU_LENGTH];
    ssize_t n;
    while ((n = ::read(pair_[1], buffer, sizeof buffer)) > 0)
        reply.insert(reply.end(), buffer, buffer + n);
    return reply;
}

std::vector<uint8_t> ModbusSlave::Reply(const std::vector<uint8_t>& request)
{
    modbus_reply(builder_, request.data(), static_cast<int>(request.size()), mapping_);
    auto reply = TakeBuilt();
    // Some libmodbus versions answer broadcasts; a slave must not.
    if (request.front() == 0)
        reply.clear();
    return reply;
}

std::vector<uint8_t> ModbusSlave::ReplyException(const std::vector<uint8_t>& request,
                                                 uint8_t code)
{
    modbus_reply_exception(builder_, request.data(), code);
    auto reply = TakeBuilt();
    if (request.front() == 0)
        reply.clear();
    return reply;
}

void ModbusSlave::LoadRegisters(const Registers& values)
{
    std::copy(values.begin(), values.end(), mapping_->tab_registers);
}

uint16_t ModbusSlave::Register(uint16_t r) const
{
    return r < kRegisterCount ? mapping_->tab_registers[r] : 0;
}

bool ModbusSlave::Coil(uint16_t coil) const
{
    return coil < kCoilCount && mapping_->tab_bits[coil] != 0;
}

void ModbusSlave::SetCoil(uint16_t coil, bool on)
{
    if (coil < kCoilCount)
        mapping_->tab_bits[coil] = on ? 1 : 0;
}

} // namespace relaysim
