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

ModbusSlave::ModbusSlave(int lineFd, std::vector<uint8_t> addresses)
    : lineFd_(lineFd), addresses_(std::move(addresses))
{
    if (addresses_.empty())
        throw std::invalid_argument("ModbusSlave: no address to serve");
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_) != 0)
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    ::fcntl(pair_[1], F_SETFL, O_NONBLOCK);
    try {
        OpenLineContext();
        builder_ = NewContext(pair_[0], addresses_[0]);
        modbus_set_byte_timeout(builder_, 0, 50000);
        modbus_set_indication_timeout(builder_, 0, 100000);
        for (std::size_t i = 0; i < addresses_.size(); ++i) {
            modbus_mapping_t* mapping =
                modbus_mapping_new(kCoilCount, 0, static_cast<int>(kRegisterCount), 0);
            if (!mapping)
                throw std::runtime_error("libmodbus: cannot allocate the register tables");
            mappings_.push_back(mapping);
        }
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
    for (modbus_mapping_t* mapping : mappings_)
        modbus_mapping_free(mapping);
    mappings_.clear();
    if (builder_)
        modbus_free(builder_);
    if (line_)
        modbus_free(line_);
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
    line_ = NewContext(lineFd_, addresses_[0]);
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
    uint8_t request[MODBUS_RTU_MAX_ADU_LENGTH] = {};
    int n = modbus_receive(line_, request);
    if (n == 0) {
        // A request for another slave. libmodbus would now take the next
        // frame for that slave's reply and drop it unseen; but every slave
        // that answers on this line is played here, so the next frame is
        // the master's next request. A fresh context forgets the expectation.
        OpenLineContext();
        n = Recheck(request);
    }
    if (n <= 0)
        return std::nullopt;
    return std::vector<uint8_t>(request, request + n);
}

// libmodbus takes frames for one slave per context, and drops another's
// only once it has read it whole into the buffer. For a relay played here
// the frame is handed on to a context at its address, which checks it as
// the line's own would; the rest of the buffer is never read as part of it.
int ModbusSlave::Recheck(uint8_t* frame)
{
    if (std::find(addresses_.begin(), addresses_.end(), frame[0]) == addresses_.end())
        return 0;
    if (::send(pair_[1], frame, MODBUS_RTU_MAX_ADU_LENGTH, MSG_NOSIGNAL) < 0)
        return -1;
    modbus_set_slave(builder_, frame[0]);
    const int n = modbus_receive(builder_, frame);
    uint8_t rest[MODBUS_RTU_MAX_ADU_LENGTH];
    while (::recv(pair_[0], rest, sizeof rest, MSG_DONTWAIT) > 0) {
    }
    return n;
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

std::vector<uint8_t> ModbusSlave::Reply(std::size_t unit, const std::vector<uint8_t>& request)
{
    // The reply takes the request's address, whatever the context's.
    modbus_reply(builder_, request.data(), static_cast<int>(request.size()), mappings_.at(unit));
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

void ModbusSlave::LoadRegisters(std::size_t unit, const Registers& values)
{
    std::copy(values.begin(), values.end(), mappings_.at(unit)->tab_registers);
}

uint16_t ModbusSlave::Register(std::size_t unit, uint16_t r) const
{
    return r < kRegisterCount ? mappings_.at(unit)->tab_registers[r] : 0;
}

bool ModbusSlave::Coil(std::size_t unit, uint16_t coil) const
{
    return coil < kCoilCount && mappings_.at(unit)->tab_bits[coil] != 0;
}

void ModbusSlave::SetCoil(std::size_t unit, uint16_t coil, bool on)
{
    if (coil < kCoilCount)
        mappings_.at(unit)->tab_bits[coil] = on ? 1 : 0;
}

} // namespace relaysim
