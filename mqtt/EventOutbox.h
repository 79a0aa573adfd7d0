#pragma once

// The events still to be delivered, read back from the event files in their
// order, so that an outage of the broker or a restart of the program loses
// none: a small file beside them ("ZaritMon-events-delivered.txt") says how
// far the broker has acknowledged them.

#include "MqttPayloads.h"

#include <filesystem>
#include <optional>
#include <string>

class EventOutbox {
public:
    // Where an event ends in the files: its day, its line, and the byte
    // after its line end.
    struct Position {
        std::string date;  // YYYY-MM-DD
        uint64_t line = 0;
        uint64_t offset = 0;
        bool operator==(const Position&) const = default;
    };
    struct Item {
        std::string id;  // "YYYY-MM-DD/LINE": the same event always has the same id
        EventMessage message;
        Position after;
    };

    // Without a record of what was delivered, delivery starts with the
    // events written from now on, not with the files' whole past.
    explicit EventOutbox(std::filesystem::path folder);

    // The next event after the last one taken; none until one is written.
    std::optional<Item> Next();
    // Everything up to here was acknowledged: recorded on disk.
    bool Delivered(const Position& upTo);
    // Takes the events after the last acknowledged one again (a connection
    // lost with messages in flight).
    void Rewind() { read_ = delivered_; }
    const Position& DeliveredUpTo() const { return delivered_; }

    std::filesystem::path FileFor(const std::string& date) const;
    std::filesystem::path RecordFile() const { return folder_ / "ZaritMon-events-delivered.txt"; }

private:
    std::optional<std::string> DayAfter(const std::string& date) const;

    std::filesystem::path folder_;
    Position delivered_;
    Position read_;
};
