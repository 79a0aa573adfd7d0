#include "EventDetector.h"

#include "StatusFormat.h"
#include "TDeviceControl.h"

namespace {

const char* OnOff(bool lit)
{
    return lit ? "вкл" : "откл";
}

bool Lit(const Indicator& ind, uint16_t inputs, uint16_t leds)
{
    return (((ind.reg == 5 ? leds : inputs) >> ind.bit) & 1) != 0;
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
    if (!sample.answered || sample.values.size() < 46) {
        // A reply that came but was rejected shows nothing: not the
        // registers, and not a silent line either.
        if (sample.silent && answered_ != false) {
            events.push_back({sample.at, EventKind::Link, "Связь", "нет ответа", std::nullopt});
            answered_ = false;
        }
        return events;
    }
    const auto& r = sample.values;
    const std::array<uint16_t, 5> currents{r[0], r[1], r[2], r[3], r[45]};
    const Seen now{r[4], r[5], r[45]};
    if (answered_ == false)
        events.push_back({sample.at, EventKind::Link, "Связь", "есть ответ", currents});
    answered_ = true;

    if (!seen_) {
        std::string lit;
        for (const Indicator& ind : kIndicators)
            if (Lit(ind, now.inputs, now.leds))
                lit += (lit.empty() ? "" : ", ") + std::string(ind.caption);
        events.push_back({sample.at, EventKind::Trip, "Начальное состояние", lit.empty() ? "ничего не горит" : lit,
                          currents});
        seen_ = now;
        return events;
    }
    for (const Indicator& ind : kIndicators) {
        const bool was = Lit(ind, seen_->inputs, seen_->leds);
        const bool is = Lit(ind, now.inputs, now.leds);
        if (was != is)
            events.push_back({sample.at, ind.reg == 5 ? EventKind::Trip : EventKind::Input, ind.caption, OnOff(is),
                              currents});
    }
    if (now.lastTrip != seen_->lastTrip)
        events.push_back({sample.at, EventKind::Trip, "Последнее срабатывание Iкз",
                          FormatMeasuredCurrent(now.lastTrip, separator_) + " А", currents});
    seen_ = now;
    return events;
}
