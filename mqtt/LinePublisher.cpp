#include "LinePublisher.h"

#include "MqttPayloads.h"
#include "TDeviceControl.h"

#include <algorithm>

LinePublisher::LinePublisher(const MqttSettings& settings, std::vector<Relay> relays,
                             std::chrono::milliseconds stateEvery, std::optional<std::filesystem::path> eventFolder,
                             std::string software, Say say, std::function<void()> news)
    : say_(std::move(say)), relays_(std::move(relays)), stateEvery_(stateEvery), published_(relays_.size()),
      publishedAt_(relays_.size()), setpoints_(relays_.size()), built_(relays_.size()),
      client_(settings, std::move(news), settings.homeAssistant ? homeassistant::kStatusTopic : "")
{
    if (eventFolder)
        outbox_ = std::make_unique<EventOutbox>(*eventFolder, settings.clientId, say_);
    if (settings.homeAssistant) {
        std::vector<homeassistant::Relay> announced;
        for (const Relay& relay : relays_)
            announced.push_back({relay.address, relay.name});
        announcer_ = std::make_unique<homeassistant::Announcer>(settings, std::move(software), std::move(announced),
                                                                eventFolder, say_);
    }
}

LinePublisher::~LinePublisher()
{
    TakeAcknowledged();
}

void LinePublisher::TakeAcknowledged()
{
    for (const MqttClient::Acknowledgement& ack : client_.TakeAcknowledged()) {
        if ((announcer_ && announcer_->Acknowledged(ack)) || !outbox_)
            continue;
        const auto message = std::find_if(inFlight_.begin(), inFlight_.end(),
                                          [&](const InFlight& m) { return m.mid == ack.mid; });
        if (message == inFlight_.end())
            continue;
        if (!ack.Refused()) {
            message->acknowledged = true;
            refusedTopics_.erase(message->topic);
            continue;
        }
        // Not a delivery: it and everything after it wait, and are offered
        // again later, not at every tick.
        if (refusedTopics_.insert(message->topic).second)
            say_("брокер отклонил событие " + message->id + " в " + message->topic + ": "
                 + MqttClient::ReasonText(ack.reason));
        holdUntil_ = Clock::now() + kRetryRefused;
    }
    if (!outbox_)
        return;
    while (!inFlight_.empty() && inFlight_.front().acknowledged) {
        outbox_->Delivered(inFlight_.front().after);
        inFlight_.pop_front();
    }
    outbox_->Save();
}

void LinePublisher::Tick(const TDeviceControl& poller, uint64_t eventsWritten)
{
    due_ = Clock::time_point::max();
    for (const std::string& report : client_.TakeReports())
        say_(report);
    TakeAcknowledged();
    if (outbox_) {
        if (eventsWritten != seenWritten_)
            outbox_->Look();
        seenWritten_ = eventsWritten;
        due_ = std::min(due_, outbox_->SaveDue());
    }
    if (!client_.Connected())
        return;
    if (client_.Connections() != seenConnections_) {
        // A new connection: the state afresh, and the events from the last
        // one acknowledged (the broker may have lost those in flight).
        seenConnections_ = client_.Connections();
        std::fill(published_.begin(), published_.end(), std::string());
        std::fill(setpoints_.begin(), setpoints_.end(), std::string());
        inFlight_.clear();
        holdUntil_.reset();
        if (outbox_)
            outbox_->Rewind();
        seenAnnounced_ = client_.Announced();
        if (announcer_)
            announcer_->Announce(client_);
    }
    // Home Assistant (re)started: the configs again, for a broker that lost
    // its retained ones.
    if (client_.Announced() != seenAnnounced_) {
        seenAnnounced_ = client_.Announced();
        if (announcer_)
            announcer_->Announce(client_);
    }

    const auto now = Clock::now();
    for (std::size_t unit = 0; unit < relays_.size() && unit < poller.UnitCount(); ++unit) {
        const PollStats stats = poller.Stats(unit);
        const std::string prefix = client_.Prefix() + "/" + std::to_string(relays_[unit].address);
        Built& built = built_[unit];
        if (built.from != stats) {
            const RegisterImage& image = poller.Image(unit);
            built.state = StateJson(relays_[unit].address, relays_[unit].name, image, stats);
            built.setpoints = stats.answered > 0 ? SetpointsJson(relays_[unit].address, image) : std::string();
            built.from = stats;
            built.polledAt = stats.polls > 0 ? now : Clock::time_point{};
        }
        // A message the client refused is told by it once, and offered again
        // when it changes or on the next connection, not at every tick.
        if (!built.setpoints.empty() && built.setpoints != setpoints_[unit]) {
            client_.Publish(prefix + "/setpoints", WithTime(built.setpoints, stats.lastAnswerAt), 0, true);
            setpoints_[unit] = built.setpoints;
        }
        if (built.state == published_[unit])
            continue;
        if (!published_[unit].empty() && now - publishedAt_[unit] < stateEvery_) {
            // Sent when its interval is up, not at whatever poll comes next.
            due_ = std::min(due_, publishedAt_[unit] + stateEvery_);
            continue;
        }
        // The values' own time: when the relay last answered.
        const auto at = stats.answered ? stats.lastAnswerAt : std::chrono::system_clock::now();
        client_.Publish(prefix + "/state", WithTime(built.state, at), 0, true);
        published_[unit] = built.state;
        // Counted from its poll, not from its sending: the polls of a relay
        // are an interval apart, so a state sent late (afresh on a connection,
        // held a moment) does not hold back the next poll's.
        publishedAt_[unit] = built.polledAt;
    }
    if (outbox_)
        PublishEvents();
    if (holdUntil_)
        due_ = std::min(due_, *holdUntil_);
}

void LinePublisher::PublishEvents()
{
    if (holdUntil_) {
        if (Clock::now() < *holdUntil_)
            return;
        holdUntil_.reset();
        inFlight_.clear();
        outbox_->Rewind();
    }
    while (inFlight_.size() < kMaxInFlight) {
        std::optional<EventOutbox::Item> item = outbox_->Next();
        if (!item)
            break;
        const std::string topic = client_.Prefix()
                                  + (item->message.address ? "/" + std::to_string(item->message.address) : std::string())
                                  + "/event";
        const int mid = client_.Publish(topic, item->message.json, 1, false);
        if (mid < 0) {
            // Not connected after all, or refused by the client (told once):
            // from the last acknowledged one, later.
            if (client_.Connected())
                holdUntil_ = Clock::now() + kRetryRefused;
            outbox_->Rewind();
            inFlight_.clear();
            break;
        }
        inFlight_.push_back({mid, topic, item->id, item->after});
    }
}
