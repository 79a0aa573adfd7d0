#include "Publishing.h"

// This build has no MQTT client library: the window says so and publishes nothing.

struct Publishing::Impl {};

bool Publishing::Available(std::string* why)
{
    if (why)
        *why = "публикация в MQTT есть только в версии для Linux и в службе zaritmon-station";
    return false;
}

Publishing::Publishing(const MqttSettings&, std::vector<Relay>, std::chrono::milliseconds,
                       std::optional<std::filesystem::path>, Say)
{
}

Publishing::~Publishing() = default;

void Publishing::Tick(const TDeviceControl&, uint64_t) {}
