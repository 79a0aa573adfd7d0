#pragma once

#include "ExchangeLog.h"
#include "PortAddress.h"
#include "RelayRegisters.h"
#include "TCOMPort.h"
#include "TDeviceControl.h"
#include "TModBusDevice.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class ExchangeJournal;

// What the link is built from: the configuration's five settings as
// values it can use (LinkConfig is the file as it stands, read by app/,
// which the link does not know).
struct LinkSettings {
    // A serial port as the system names it (COM1, ttyUSB0, /dev/pts/3), or
    // tcp://HOST:PORT or mbtcp://HOST:PORT (PortAddress.h).
    std::string portName = "COM1";
    int32_t speed = 9600;
    int32_t responseTimeoutMs = 1000;  // the port's total read timeout
    uint8_t address = 1;
    int32_t pollIntervalMs = 1000;
    // The relays on the line, polled in this order; none: the one at address.
    std::vector<uint8_t> relays = {};
    // RS-485 direction by RTS, for adapters that do not switch by themselves.
    Rs485Mode rs485 = Rs485Mode::Off;
    int32_t rs485DelayBeforeMs = 0;
    int32_t rs485DelayAfterMs = 0;
    // Looking for the request's echo on the line (RTU only).
    TModBusDevice::EchoMode echo = TModBusDevice::EchoMode::Auto;

    // 8 data bits, no parity, one stop bit; a reply that stops short ends
    // after a 100 ms gap.
    LineSettings Line() const;
};

// Runs its scope with the poll thread kept off the line, and puts polling
// back as it found it: what every command of the operator does around its
// exchanges.
class PollingPaused {
public:
    explicit PollingPaused(TDeviceControl& control) : control_(control), wasPolling_(control.IsPolling())
    {
        control_.StopPolling();
    }
    ~PollingPaused()
    {
        if (wasPolling_)
            control_.StartPolling();
    }
    PollingPaused(const PollingPaused&) = delete;
    PollingPaused& operator=(const PollingPaused&) = delete;

private:
    TDeviceControl& control_;
    const bool wasPolling_;
};

// The device link: the exchange log, the line (a serial port, or a TCP
// connection), the Modbus master and the poll thread, made together and let
// go in the reverse order: the poll thread (stopped, ended, joined), the
// master, the line (closed), the log. The poll thread starts at once with
// polling off. A line that does not open fails every exchange, in the log,
// until it can be opened again. A port name that is neither a serial port
// nor a well-formed network address opens nothing (PortError says why).
class DeviceLink {
public:
    static constexpr uint16_t kRegisterCount = relay::kRegisterCount;

    // Lines of the log go to the journal too when one is given; it must
    // outlive the link.
    explicit DeviceLink(const LinkSettings& settings, ExchangeJournal* journal = nullptr);
    ~DeviceLink();
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    ::ExchangeLog& Log() { return ExchangeLog; }
    Transport& Port() { return *ComPort; }
    // Why the port name was refused; empty when it was not.
    const std::string& PortError() const { return portError_; }
    TModBusDevice& Master() { return ModBus; }
    TDeviceControl& Poller() { return DeviceControl; }

    // Runs f with polling paused around it (PollingPaused) and returns its result.
    template <typename F>
    decltype(auto) Exclusive(F&& f)
    {
        PollingPaused paused(DeviceControl);
        return std::forward<F>(f)();
    }

private:
    // Declared in the order they are made; members go in the reverse order.
    ::ExchangeLog ExchangeLog;
    std::string portError_;
    std::unique_ptr<Transport> ComPort;
    TModBusDevice ModBus;
    TDeviceControl DeviceControl;
};
