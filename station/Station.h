#pragma once

// The monitor without windows: the line's relays polled from the start, the
// exchange journal and the event files as the window writes them, and what
// happens told in one line each (for the system journal).

#include "EventDetector.h"
#include "EventLog.h"
#include "EventOutbox.h"
#include "LinkConfig.h"
#include "MqttClient.h"
#include "PortProblem.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class DeviceLink;
class ExchangeJournal;
class TIniFile;

// Section "MQTT": none when HOST is empty (publishing off, the default). The
// password comes from the file PASSWORDFILE names; *problem says what could
// not be read.
std::optional<MqttSettings> ReadMqttSettings(const TIniFile& ini, std::string* problem);

class Station {
public:
    using Say = std::function<void(const std::string&)>;  // one line, UTF-8

    // Reads the configuration file and starts polling every relay it lists.
    // A relative JOURNALDIR lies in stateDir (where the window would put it
    // beside the file, a service may not write).
    Station(const std::filesystem::path& config, const std::filesystem::path& stateDir, Say say);
    // Stops as Stop() does.
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The polls since the last tick into the events (and their files), and
    // whatever changed told.
    void Tick();
    // Stops polling, takes the last polls and writes the journal out; false
    // when the journal could not take every line.
    bool Stop();

    // Often enough that a state reaches the broker soon after its poll.
    static constexpr int kTickMs = 100;
    // Lines the log keeps in memory at most: the journal has every one.
    static constexpr std::size_t kMaxLogLines = 20000;

private:
    struct Relay {
        RelayEntry entry;
        std::string caption;  // UTF-8
        EventDetector detector;
    };
    void Add(const Event& event);
    void TellPort();
    void TellFiles();
    void Publish();

    struct InFlight {
        int mid;
        EventOutbox::Position after;
        bool acknowledged = false;
    };
    using Clock = std::chrono::steady_clock;

    Say say_;
    std::vector<Relay> relays_;
    std::unique_ptr<ExchangeJournal> journal_;
    std::unique_ptr<DeviceLink> link_;
    EventLog events_;
    PortProblem toldProblem_;
    uint64_t toldEventFailures_ = 0;
    uint64_t toldJournalFailures_ = 0;
    uint64_t toldDropped_ = 0;
    bool stopped_ = false;

    // Publishing, when configured: destroyed last, telling the broker "offline".
    std::unique_ptr<MqttClient> mqtt_;
    std::unique_ptr<EventOutbox> outbox_;
    uint64_t seenConnections_ = 0;
    std::deque<InFlight> inFlight_;
    std::vector<std::string> publishedStates_;  // a relay each, without the time
    std::vector<Clock::time_point> publishedAt_;
    std::chrono::milliseconds stateEvery_{0};
    static constexpr std::size_t kMaxInFlight = 32;
};
