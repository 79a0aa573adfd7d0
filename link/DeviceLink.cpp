#include "DeviceLink.h"

LineSettings LinkSettings::Line() const
{
    LineSettings line;
    line.baudRate = speed;
    line.parity = 0;
    line.stopBits = 0;
    line.byteSize = 8;
    line.readIntervalMs = 100;
    line.readTotalMs = responseTimeoutMs;
    return line;
}

DeviceLink::DeviceLink(const LinkSettings& settings, ExchangeJournal* journal)
    : ComPort(TCOMPort::DevicePath(settings.portName)), DeviceControl(kRegisterCount)
{
    ExchangeLog.SetJournal(journal);
    const LineSettings line = settings.Line();
    ComPort.Open();
    ComPort.Apply(line);
    ComPort.KeepOpen(line);
    ModBus.SetPort(&ComPort);
    ModBus.SetAddress(settings.address);
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
