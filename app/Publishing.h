#pragma once

// The window's publishing of the line to an MQTT broker, where the build has
// an MQTT client (Linux: Publishing_mqtt.cpp); the Windows build has none
// (Publishing_none.cpp).

#include "MqttSettings.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TDeviceControl;

class Publishing {
public:
    struct Relay {
        uint8_t address = 1;
        std::string name;  // UTF-8
    };
    using Say = std::function<void(const std::string&)>;  // the connection's changes, UTF-8

    // False, with the reason, in a build that cannot publish.
    static bool Available(std::string* why);

    Publishing(const MqttSettings& settings, std::vector<Relay> relays, std::chrono::milliseconds stateEvery,
               std::optional<std::filesystem::path> eventFolder, Say say);
    ~Publishing();
    Publishing(const Publishing&) = delete;
    Publishing& operator=(const Publishing&) = delete;

    // What is due, without waiting for the network; eventsWritten counts
    // the events written to their files.
    void Tick(const TDeviceControl& poller, uint64_t eventsWritten);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
