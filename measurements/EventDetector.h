#pragma once

#include "Event.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct PollSample;

// Turns the polls, in their order, into events: the first accepted poll
// after polling starts is the baseline ("Начальное состояние", with what is
// lit); after it every change of an LED (register 5), a discrete input
// (register 4) or the last trip current (register 45) is an event at the
// time of the first poll that showed it, and so is the link falling silent
// and answering again, once each, not at every poll. Unanswered and
// rejected polls never show a change of the registers, and a rejected reply
// is not silence.
class EventDetector {
public:
    // The separator of the last trip current in its event's text.
    explicit EventDetector(std::string decimalSeparator = ",") : separator_(std::move(decimalSeparator)) {}

    // Polling started: the next accepted poll sets the baseline anew.
    void Restart();
    std::vector<Event> OnPoll(const PollSample& sample);

private:
    struct Seen {
        uint16_t inputs;
        uint16_t leds;
        uint16_t lastTrip;
    };
    std::string separator_;
    std::optional<Seen> seen_;
    std::optional<bool> answered_;  // the link's state as last told
};
