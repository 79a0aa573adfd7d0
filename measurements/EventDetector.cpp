#include "EventDetector.h"

#include "RelayRegisters.h"
#include "TDeviceControl.h"

namespace {

const char* OnOff(bool lit)
{
    return lit ? "вкл" : "откл";
}

} // namespace

void EventDetector::Restart()
{
    seen_.reset();
    answered_.reset();
}

std::vector<Event> EventDetector::OnPoll(const PollSample& sample)
{
    std::vector<Event> events;
    if (!sample.answered || sample.values.size() < relay::kRegisterCount) {
        // A reply that came but was rejected shows nothing: not the
        // registers, and not a silent line either.
        if (sample.silent && answered_ != false) {
            events.push_back({sample.at, EventKind::Link, "Связь", "нет ответа", std::nullopt});
            answered_ = false;
        }
        return events;
    }
    const auto& r = sample.values;
    std::array<uint16_t, relay::kKeptCurrents.size()> currents{};
    for (std::size_t i = 0; i < currents.size(); ++i)
        currents[i] = r[static_cast<std::size_t>(relay::kKeptCurrents[i])];
    const Seen now{r[relay::kInputs], r[relay::kLeds], r[relay::kLastTrip]};
    if (answered_ == false)
        events.push_back({sample.at, EventKind::Link, "Связь", "есть ответ", currents});
    answered_ = true;

    if (!seen_) {
        std::string lit;
        for (const Indicator& ind : kIndicators)
            if (ind.Lit(now.inputs, now.leds))
                lit += (lit.empty() ? "" : ", ") + std::string(ind.caption);
        events.push_back({sample.at, EventKind::Trip, "Начальное состояние", lit.empty() ? "ничего не горит" : lit,
                          currents});
        seen_ = now;
        return events;
    }
    for (const Indicator& ind : kIndicators) {
        const bool was = ind.Lit(seen_->inputs, seen_->leds);
        const bool is = ind.Lit(now.inputs, now.leds);
        if (was != is)
            events.push_back({sample.at, ind.IsLed() ? EventKind::Trip : EventKind::Input, ind.caption, OnOff(is),
                              currents});
    }
    if (now.lastTrip != seen_->lastTrip)
        events.push_back({sample.at, EventKind::Trip, "Последнее срабатывание Iкз",
                          FormatMeasuredCurrent(now.lastTrip, separator_) + " А", currents});
    seen_ = now;
    return events;
}
