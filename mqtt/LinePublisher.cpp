#include "LinePublisher.h"

#include "MqttPayloads.h"
#include "TDeviceControl.h"

#include <algorithm>

LinePublisher::LinePublisher(const MqttSettings& settings, std::vector<Relay> relays,
                             std::chrono::milliseconds stateEvery, std::optional<std::filesystem::path> eventFolder,
                             Say say)
    : say_(std::move(say)), relays_(std::move(relays)), stateEvery_(stateEvery), published_(relays_.size()),
      publishedAt_(relays_.size()), setpoints_(relays_.size()), built_(relays_.size()), client_(settings)
{
    if (eventFolder)
        outbox_ = std::make_unique<EventOutbox>(*eventFolder);
}

void LinePublisher::TakeAcknowledged()
{
    const std::vector<int> acknowledged = client_.TakeAcknowledged();
    for (InFlight& message : inFlight_)
        if (std::find(acknowledged.begin(), acknowledged.end(), message.mid) != acknowledged.end())
            message.acknowledged = true;
    std::optional<EventOutbox::Position> upTo;
    while (!inFlight_.empty() && inFlight_.front().acknowledged) {
        upTo = inFlight_.front().after;
        inFlight_.pop_front();
    }
    if (upTo && !outbox_->Delivered(*upTo))
        say_("не записано, какие события доставлены: " + outbox_->RecordFile().string());
}

void LinePublisher::Tick(const TDeviceControl& poller)
{
    for (const std::string& report : client_.TakeReports())
        say_(report);
    TakeAcknowledged();
    if (!client_.Connected())
        return;
    if (client_.Connections() != seenConnections_) {
        // A new connection: the state afresh, and the events from the last
        // one acknowledged (the broker may have lost those in flight).
        seenConnections_ = client_.Connections();
        std::fill(published_.begin(), published_.end(), std::string());
        std::fill(setpoints_.begin(), setpoints_.end(), std::string());
        inFlight_.clear();
        if (outbox_)
            outbox_->Rewind();
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
        }
        if (!built.setpoints.empty() && built.setpoints != setpoints_[unit]
            && client_.Publish(prefix + "/setpoints", WithTime(built.setpoints, stats.lastAnswerAt), 0, true) >= 0)
            setpoints_[unit] = built.setpoints;
        if (built.state == published_[unit] || (!published_[unit].empty() && now - publishedAt_[unit] < stateEvery_))
            continue;
        const std::string topic = prefix + "/state";
        // The values' own time: when the relay last answered.
        const auto at = stats.answered ? stats.lastAnswerAt : std::chrono::system_clock::now();
        if (client_.Publish(topic, WithTime(built.state, at), 0, true) >= 0) {
            published_[unit] = built.state;
            publishedAt_[unit] = now;
        }
    }

    while (outbox_ && inFlight_.size() < kMaxInFlight) {
        std::optional<EventOutbox::Item> item = outbox_->Next();
        if (!item)
            break;
        const std::string topic = client_.Prefix()
                                  + (item->message.address ? "/" + std::to_string(item->message.address) : std::string())
                                  + "/event";
        const int mid = client_.Publish(topic, item->message.json, 1, false);
        if (mid < 0) {
            outbox_->Rewind();
            inFlight_.clear();
            break;
        }
        inFlight_.push_back({mid, item->after});
    }
}
