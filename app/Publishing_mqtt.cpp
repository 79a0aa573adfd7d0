#include "Publishing.h"

#include "LinePublisher.h"

struct Publishing::Impl {
    LinePublisher publisher;
};

bool Publishing::Available(std::string*)
{
    return true;
}

Publishing::Publishing(const MqttSettings& settings, std::vector<Relay> relays, std::chrono::milliseconds stateEvery,
                       std::optional<std::filesystem::path> eventFolder, Say say)
{
    std::vector<LinePublisher::Relay> published;
    for (Relay& relay : relays)
        published.push_back({relay.address, std::move(relay.name)});
    impl_.reset(new Impl{LinePublisher(settings, std::move(published), stateEvery, std::move(eventFolder),
                                       "zaritmon " ZARIT_VERSION, std::move(say))});
}

Publishing::~Publishing() = default;

void Publishing::Tick(const TDeviceControl& poller, uint64_t eventsWritten)
{
    impl_->publisher.Tick(poller, eventsWritten);
}
