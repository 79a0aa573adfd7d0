#pragma once

// The line's relays and events to a broker: each relay's state when it
// changed (at most once an interval, afresh on each connection), its
// setpoints once read and whenever they change, and the
// events from their files in order, each counted as delivered once the
// broker acknowledged it and every one before it.

#include "EventOutbox.h"
#include "MqttClient.h"
#include "TDeviceControl.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>


class LinePublisher {
public:
    struct Relay {
        uint8_t address = 1;
        std::string name;  // UTF-8
    };
    using Say = std::function<void(const std::string&)>;  // the connection's changes, UTF-8

    // eventFolder: where the event files are; none: events are not published.
    LinePublisher(const MqttSettings& settings, std::vector<Relay> relays, std::chrono::milliseconds stateEvery,
                  std::optional<std::filesystem::path> eventFolder, Say say);

    // Publishes what is due; never waits for the network.
    void Tick(const TDeviceControl& poller);
    bool Connected() const { return client_.Connected(); }

private:
    struct InFlight {
        int mid;
        EventOutbox::Position after;
        bool acknowledged = false;
    };
    using Clock = std::chrono::steady_clock;
    // Enough that a backlog replays at the broker's pace, not the tick's.
    static constexpr std::size_t kMaxInFlight = 256;

    void TakeAcknowledged();

    Say say_;
    std::vector<Relay> relays_;
    std::chrono::milliseconds stateEvery_;
    std::unique_ptr<EventOutbox> outbox_;
    uint64_t seenConnections_ = 0;
    std::deque<InFlight> inFlight_;
    std::vector<std::string> published_;  // a relay's state each, without the time
    std::vector<Clock::time_point> publishedAt_;
    std::vector<std::string> setpoints_;  // a relay's setpoints each, as last published
    // A relay's messages as last built, and the counts they were built from:
    // unchanged counts mean no new poll, so nothing to build again.
    struct Built {
        std::optional<PollStats> from;
        std::string state, setpoints;
    };
    std::vector<Built> built_;
    MqttClient client_;  // last: its thread goes first
};
