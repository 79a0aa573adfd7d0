#pragma once

// The monitor without windows: the line's relays polled from the start, the
// exchange journal and the event files as the window writes them, and what
// happens told in one line each (for the system journal).

#include "EventDetector.h"
#include "EventLog.h"
#include "PortProblem.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class DeviceLink;
class ExchangeJournal;
class Gateway;
class LinePublisher;
class WebServer;
namespace web {
struct LineView;
}

class Station {
public:
    using Say = std::function<void(const std::string&)>;  // one line, UTF-8
    using Clock = std::chrono::steady_clock;

    // Reads the configuration file and starts polling every relay it lists.
    // A relative JOURNALDIR lies in stateDir (where the window would put it
    // beside the file, a service may not write). wake is called, from other
    // threads, whenever a Tick has something to take: a poll or a job at the
    // line done, a gateway's event, news of the broker's connection.
    Station(const std::filesystem::path& config, const std::filesystem::path& stateDir, Say say,
            std::function<void()> wake = {});
    // Stops as Stop() does.
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The polls since the last tick into the events (and their files), and
    // whatever changed told. Returns when the next Tick is due if nothing
    // wakes it sooner: what is held back for a time, and housekeeping at
    // least once a kHousekeeping.
    Clock::time_point Tick();
    // Stops polling, takes the last polls and writes the journal out; false
    // when the journal could not take every line.
    bool Stop();

    // What no wake brings: the event files' retry while they fail.
    static constexpr std::chrono::seconds kHousekeeping{1};
    // Lines the log keeps in memory at most: the journal has every one.
    static constexpr std::size_t kMaxLogLines = 20000;

private:
    struct Relay {
        uint8_t address = 1;
        std::string name;     // UTF-8
        std::string caption;  // UTF-8
        EventDetector detector;
    };
    void Add(const Event& event);
    void TellPort();
    void TellFiles();
    web::LineView View();

    Say say_;
    std::vector<Relay> relays_;
    std::unique_ptr<ExchangeJournal> journal_;
    std::unique_ptr<DeviceLink> link_;
    EventLog events_;
    PortProblem toldProblem_;
    uint64_t toldEventFailures_ = 0;
    bool toldEventsFailing_ = false;
    uint64_t toldLost_ = 0;
    std::chrono::steady_clock::time_point toldLostAt_{};
    uint64_t toldJournalFailures_ = 0;
    uint64_t toldDropped_ = 0;
    bool stopped_ = false;

    // Publishing, when configured: it tells the broker "offline" as it goes.
    std::unique_ptr<LinePublisher> publisher_;
    // The line served to other masters, when configured; gone before the link.
    std::unique_ptr<Gateway> gateway_;
    // The page and the metrics, when configured.
    std::unique_ptr<WebServer> web_;
    Clock::time_point shownAt_{};
    uint64_t undelivered_ = 0;
    Clock::time_point undeliveredAt_{};
};
