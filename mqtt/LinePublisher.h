#pragma once

// The line's relays and events to a broker: each relay's state when it
// changed (at most once an interval, counted between the polls the states
// are of; afresh on each connection), its
// setpoints once read and whenever they change, and the
// events from their files in order, each counted as delivered once the
// broker acknowledged it and every one before it. With DISCOVERY, the relays
// announced to Home Assistant on each connection and whenever it asks.

#include "EventOutbox.h"
#include "HomeAssistant.h"
#include "MqttClient.h"
#include "TDeviceControl.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>


class LinePublisher {
public:
    struct Relay {
        uint8_t address = 1;
        std::string name;  // UTF-8
    };
    using Say = std::function<void(const std::string&)>;  // the connection's changes, UTF-8

    using Clock = std::chrono::steady_clock;

    // eventFolder: where the event files are; none: events are not published.
    // software: the program's name and version, for Home Assistant's devices.
    // news: as MqttClient takes it, for a caller that ticks on news rather
    // than on a timer.
    LinePublisher(const MqttSettings& settings, std::vector<Relay> relays, std::chrono::milliseconds stateEvery,
                  std::optional<std::filesystem::path> eventFolder, std::string software, Say say,
                  std::function<void()> news = {});

    // Takes the last acknowledgements in.
    ~LinePublisher();

    // Publishes what is due; never waits for the network. eventsWritten
    // counts the events written to their files: the folder is looked at
    // again only when it went up.
    void Tick(const TDeviceControl& poller, uint64_t eventsWritten);
    // When the last Tick left something for a later one that neither a poll
    // nor news will bring: a state held back by the interval, events held
    // after a refusal, the delivery record held back.
    // Clock::time_point::max() when nothing.
    Clock::time_point Due() const { return due_; }
    bool Connected() const { return client_.Connected(); }
    // Events in the files the broker has not acknowledged; reads the files.
    uint64_t Undelivered() const { return outbox_ ? outbox_->Undelivered() : 0; }

private:
    struct InFlight {
        int mid;
        std::string topic;
        std::string id;
        EventOutbox::Position after;
        bool acknowledged = false;
    };
    // Enough that a backlog replays at the broker's pace, not the tick's.
    static constexpr std::size_t kMaxInFlight = 256;
    // A refused event is offered again after this, or on a new connection
    // (the broker's rules may have changed meanwhile).
    static constexpr std::chrono::seconds kRetryRefused{60};

    void TakeAcknowledged();
    void PublishEvents();

    Say say_;
    std::vector<Relay> relays_;
    std::chrono::milliseconds stateEvery_;
    std::unique_ptr<EventOutbox> outbox_;
    std::unique_ptr<homeassistant::Announcer> announcer_;
    uint64_t seenConnections_ = 0;
    uint64_t seenAnnounced_ = 0;
    uint64_t seenWritten_ = 0;
    std::deque<InFlight> inFlight_;
    // Events are held back after a refusal until then.
    std::optional<Clock::time_point> holdUntil_;
    std::set<std::string> refusedTopics_;  // told, until one of theirs is taken again
    std::vector<std::string> published_;  // a relay's state each, without the time
    std::vector<Clock::time_point> publishedAt_;  // the polledAt of the state published
    std::vector<std::string> setpoints_;  // a relay's setpoints each, as last published
    // A relay's messages as last built, and the counts they were built from:
    // unchanged counts mean no new poll, so nothing to build again.
    struct Built {
        std::optional<PollStats> from;
        std::string state, setpoints;
        Clock::time_point polledAt;  // the tick that saw its poll; none before the first poll
    };
    std::vector<Built> built_;
    Clock::time_point due_ = Clock::time_point::max();
    MqttClient client_;  // last: its thread goes first
};
