#include "RelayCommands.h"

#include "DeviceLink.h"

#include <chrono>
#include <thread>

namespace {

std::string OutcomeText(TModBusDevice::Outcome outcome)
{
    switch (outcome) {
    case TModBusDevice::Outcome::Answered: return "ответ получен";
    case TModBusDevice::Outcome::NoReply: return "нет ответа";
    case TModBusDevice::Outcome::Rejected: return "ответ отвергнут";
    }
    return {};
}

bool Answered(const TModBusDevice& master)
{
    return master.LastOutcome() == TModBusDevice::Outcome::Answered;
}

} // namespace

// A command's outcome is read inside Exclusive: once polling is back, the
// poll thread owns the master's outcome.
std::string RelayCommand(DeviceLink& link, uint8_t address, const std::function<void(TModBusDevice&)>& exchange)
{
    return link.Exclusive([&] {
        link.Master().SetAddress(address);
        exchange(link.Master());
        return OutcomeText(link.Master().LastOutcome());
    });
}

PulseOutcome PulseCoil(DeviceLink& link, uint8_t address, uint16_t coil)
{
    PulseOutcome result;
    link.Exclusive([&] {
        TModBusDevice& master = link.Master();
        master.SetAddress(address);
        master.WriteCoil(coil, true);
        result.outcome = OutcomeText(master.LastOutcome());
        // Only a refusal says the relay did not take the "on": a reply lost
        // or garbled may follow an output that closed.
        const bool on = !master.LastRejectedException();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // A relay that may have taken the "on" must not be left energised by
        // one lost "off": it is written again, a bounded number of times.
        for (int attempt = 0; attempt < (on ? kPulseOffAttempts : 1); ++attempt) {
            master.WriteCoil(coil, false);
            if (Answered(master))
                break;
        }
        if (!Answered(master)) {
            result.outcome = OutcomeText(master.LastOutcome());
            result.mayStayOn = on;
        }
    });
    return result;
}
