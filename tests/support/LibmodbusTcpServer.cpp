#include "LibmodbusTcpServer.h"

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

LibmodbusTcpServer::LibmodbusTcpServer(const std::string& host) : host_(host)
{
    // Port "0": the system picks a free one, read back below.
    ctx_ = modbus_new_tcp_pi(host.c_str(), "0");
    map_ = modbus_mapping_new(5, 0, 46, 0);
    if (!ctx_ || !map_)
        throw std::runtime_error("libmodbus TCP context");
    listenFd_ = modbus_tcp_pi_listen(ctx_, 1);
    if (listenFd_ < 0)
        throw std::runtime_error("libmodbus cannot listen on " + host);
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    thread_ = std::thread([this] { Run(); });
}

LibmodbusTcpServer::~LibmodbusTcpServer()
{
    stop_ = true;
    thread_.join();
    modbus_close(ctx_);
    ::close(listenFd_);
    modbus_mapping_free(map_);
    modbus_free(ctx_);
}

std::string LibmodbusTcpServer::Address() const
{
    const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return "mbtcp://" + host + ":" + std::to_string(port_);
}

void LibmodbusTcpServer::SetRegisters(const std::vector<uint16_t>& values)
{
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < values.size() && i < 46; ++i)
        map_->tab_registers[i] = values[i];
}

std::vector<uint16_t> LibmodbusTcpServer::Registers() const
{
    std::lock_guard lock(mutex_);
    return std::vector<uint16_t>(map_->tab_registers, map_->tab_registers + 46);
}

bool LibmodbusTcpServer::Coil(int index) const
{
    std::lock_guard lock(mutex_);
    return map_->tab_bits[index] != 0;
}

void LibmodbusTcpServer::Run()
{
    uint8_t request[MODBUS_TCP_MAX_ADU_LENGTH];
    bool connected = false;
    while (!stop_) {
        // libmodbus would wait forever; look first, so that the thread can stop.
        pollfd pfd{connected ? modbus_get_socket(ctx_) : listenFd_, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        if (!connected) {
            int fd = listenFd_;
            connected = modbus_tcp_pi_accept(ctx_, &fd) >= 0;
            continue;
        }
        const int length = modbus_receive(ctx_, request);
        if (length < 0) {
            // The client went: the next one may come.
            modbus_close(ctx_);
            connected = false;
            continue;
        }
        if (length == 0)
            continue;
        std::lock_guard lock(mutex_);
        if (modbus_reply(ctx_, request, length, map_) > 0)
            ++served_;
    }
}

} // namespace testing_support
