#include "LineOverview.h"

#include "LocalTime.h"
#include "RelayRegisters.h"

#include <cstdio>

namespace {

std::string TimeOfDay(std::chrono::system_clock::time_point at)
{
    const LocalTime t = ToLocal(at);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
}

} // namespace

OverviewRow MakeOverviewRow(const std::string& name, uint8_t address, const RegisterImage& image,
                            const PollStats& stats, const std::string& decimalSeparator)
{
    OverviewRow row;
    row.name = name;
    row.address = address;
    if (stats.answered > 0) {
        static constexpr uint16_t kCurrents[5] = {relay::kPhaseA, relay::kPhaseB, relay::kPhaseC, relay::kResidual,
                                                  relay::kLastTrip};
        for (std::size_t i = 0; i < 5; ++i) {
            row.centiamps[i] = image.Get(kCurrents[i]);
            row.currents[i] = FormatMeasuredCurrent(row.centiamps[i], decimalSeparator);
        }
        const uint16_t leds = image.Get(relay::kLeds);
        for (const Indicator& indicator : kIndicators)
            if (indicator.IsLed() && !indicator.green && indicator.Lit(0, leds))
                row.redLeds += (row.redLeds.empty() ? "" : "\n") + std::string(indicator.caption);
        row.lastAnswer = TimeOfDay(stats.lastAnswerAt);
    }
    if (stats.polls > 0)
        row.link = stats.rare            ? "опрашивается реже"
                   : stats.lastAnswered ? "есть ответ"
                                        : std::string("нет ответа с ") + TimeOfDay(stats.failingSince);
    return row;
}

std::string RelayCaption(const std::string& name, uint8_t address)
{
    const std::string at = "адрес " + std::to_string(address);
    return name.empty() ? at : name + " (" + at + ")";
}
