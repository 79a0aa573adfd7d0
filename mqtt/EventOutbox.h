#pragma once

// The events still to be delivered, read back from the event files, so that
// an outage of the broker, a restart, a power cut or a clock set back loses
// none: a small file beside them ("ZaritMon-events-delivered.txt") says how
// far the broker has acknowledged each day's file. Whenever that cannot be
// told for sure, events are delivered again rather than skipped: a consumer
// drops an id it has seen, and a gap cannot be mended.

#include "MqttPayloads.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class EventOutbox {
public:
    // Where an event ends in its day's file.
    struct Position {
        std::string date;      // YYYY-MM-DD
        uint64_t line = 0;     // lines up to here, the header's too
        uint64_t start = 0;    // where the line that ends here starts
        uint64_t offset = 0;   // the byte after its line end
        uint32_t hash = 0;     // of that line's bytes; tells a file made afresh
        uint64_t file = 0;     // which making of the day's file it was read from
    };
    struct Item {
        // "<station>/YYYY-MM-DD/<line>/<hash>": the same event always has
        // the same id, and no other event has it.
        std::string id;
        EventMessage message;
        Position after;
    };
    using Say = std::function<void(const std::string&)>;  // UTF-8

    // station: the publisher's name among the broker's (its client id).
    // Without a record of what was delivered (the first start), delivery
    // starts with the events written from now on, and that is recorded.
    EventOutbox(std::filesystem::path folder, std::string station, Say say);
    // Records what was delivered.
    ~EventOutbox();
    EventOutbox(const EventOutbox&) = delete;
    EventOutbox& operator=(const EventOutbox&) = delete;

    // The files may have grown: the next Next() looks at them. Until then it
    // reads on only what it already knew of, without looking at the folder.
    void Look() { look_ = true; }
    // The next event after the last one taken; none until one is written.
    std::optional<Item> Next();
    // Everything of its day's file up to here was acknowledged.
    void Delivered(const Position& upTo);
    // Writes the record if it changed: at most once a second (flash
    // storage), or now.
    void Save(bool now = false);
    // When a Save() would write a change held back; max() when none is.
    std::chrono::steady_clock::time_point SaveDue() const;
    // Takes the events after the last acknowledged ones again (a connection
    // lost with messages in flight, or a message refused).
    void Rewind();

    // Whole lines in the files after what was acknowledged: read from the
    // files each time, so not for every tick.
    uint64_t Undelivered() const;

    std::filesystem::path FileFor(const std::string& date) const;
    std::filesystem::path RecordFile() const { return folder_ / "ZaritMon-events-delivered.txt"; }

private:
    void Load();
    void Scan();
    bool StillThere(const Position& at) const;
    // Where a day's file stands up to limit: its last whole line, or with
    // before, the one ahead of it.
    Position LastLineEnd(const std::string& date, uint64_t limit, bool before) const;

    std::filesystem::path folder_;
    std::string station_;
    Say say_;
    std::map<std::string, Position> delivered_;  // by date
    std::map<std::string, Position> read_;
    std::map<std::string, uint64_t> made_;       // a day's file made afresh counts up
    // Each file's size and time of writing at the last look.
    std::map<std::string, std::pair<uint64_t, std::filesystem::file_time_type>> seen_;
    std::vector<std::string> due_;               // days with lines not yet read, oldest first
    std::ifstream reading_;                      // the front day's file while it has lines
    bool look_ = true;
    bool changed_ = false;
    std::chrono::steady_clock::time_point savedAt_{};
    std::string saveError_;
};
