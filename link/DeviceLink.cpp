#include "DeviceLink.h"

#include "TcpTransport.h"

LineSettings LinkSettings::Line() const
{
    LineSettings line;
    line.baudRate = speed;
    line.parity = 0;
    line.stopBits = 0;
    line.byteSize = 8;
    line.readIntervalMs = 100;
    line.readTotalMs = responseTimeoutMs;
    line.rs485 = rs485;
    line.rs485DelayBeforeMs = rs485DelayBeforeMs;
    line.rs485DelayAfterMs = rs485DelayAfterMs;
    return line;
}

namespace {

// The line of a port name that names none: it never opens.
class NoLine : public Transport {
public:
    explicit NoLine(std::string name) : name_(std::move(name)) {}
    const std::string& PortName() const override { return name_; }
    bool IsOpen() const override { return false; }
    bool EnsureOpen() override { return false; }
    void Close() override {}
    int Read(uint8_t*, int, int) override { return 0; }
    int Write(const uint8_t*, int) override { return 0; }
    int ClearErrors() override { return 0; }
    void DiscardInput() override {}

private:
    std::string name_;
};

} // namespace

DeviceLink::DeviceLink(const LinkSettings& settings, ExchangeJournal* journal) : DeviceControl(kRegisterCount, settings.relays)
{
    ExchangeLog.SetJournal(journal);
    const LineSettings line = settings.Line();
    const std::optional<PortAddress> address = ParsePortAddress(settings.portName, &portError_);
    if (!address) {
        ComPort = std::make_unique<NoLine>(settings.portName);
    } else if (address->IsNetwork()) {
        // Modbus TCP frames say their own length, so a pause between TCP
        // segments must not end a reply; RTU frames end on the gap as on
        // the wire.
        const bool mbap = address->kind == PortAddress::Kind::ModbusTcp;
        // Connected when the first transaction asks, by the transport's own
        // thread, neither here nor on the caller's: a server that does not
        // answer would hold up the window for the whole connect timeout.
        ComPort = std::make_unique<TcpTransport>(settings.portName, address->host, address->port,
                                                 mbap ? 0 : line.readIntervalMs, line.readTotalMs);
        ModBus.SetFraming(mbap ? TModBusDevice::Framing::ModbusTcp : TModBusDevice::Framing::Rtu);
    } else {
        auto serial = std::make_unique<TCOMPort>(TCOMPort::DevicePath(settings.portName));
        serial->Open();
        serial->Apply(line);
        serial->KeepOpen(line);
        ComPort = std::move(serial);
        ModBus.SetLineSpeed(settings.speed);
    }
    ModBus.SetPort(ComPort.get());
    ModBus.SetAddress(settings.address);
    ModBus.SetEchoMode(settings.echo);
    ModBus.SetLog(&ExchangeLog);
    DeviceControl.SetMaster(&ModBus);
    DeviceControl.SetInterval(settings.pollIntervalMs);
}

DeviceLink::~DeviceLink()
{
    // Stop polling and wait for the read under way, before anything it
    // uses goes; the members then go poll thread first, log last.
    DeviceControl.StopPolling();
}
