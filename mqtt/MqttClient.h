#pragma once

// A connection to an MQTT broker that publishes: libmosquitto on a thread of
// its own, so that neither the window nor the poll thread waits for the
// network. It subscribes to one topic at most, and takes from it only the
// word "online", counted; never a command. MQTT 5, so that the broker can
// say no to a message (an ACL) and that no is not taken for a delivery.

#include "MqttSettings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class MqttClient {
public:
    // Starts connecting at once and again, backing off up to 30 s, whenever
    // the connection is lost or refused. "<prefix>/status" is "online" while
    // connected, "offline" (the last will) otherwise; both retained. With
    // TLS on, a TLS that cannot be set up means no connection at all, never
    // one in plain text. news, when given, is called whenever there is
    // something to take (a connection, an acknowledgement, a report), so that
    // the caller need not look on a timer; never once the client is gone. It
    // runs under the client's lock: it must not call the client. watch, when
    // given, is subscribed to on each connection (see Announced).
    explicit MqttClient(const MqttSettings& settings, std::function<void()> news = {}, std::string watch = {});
    // Tells the broker "offline" and disconnects; never waits for a name
    // lookup that does not come back (its thread is left to finish alone).
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    bool Connected() const;
    // Goes up by one with each connection made, so that a caller can send
    // again what the last connection may have lost.
    uint64_t Connections() const;
    // Goes up by one with each "online" on the watched topic: whoever says
    // it (Home Assistant after a restart) wants to be told afresh.
    uint64_t Announced() const;
    // The message's id, or -1 when it could not even be queued; a refusal
    // other than "not connected" is among the reports.
    int Publish(const std::string& topic, const std::string& payload, int qos, bool retain);

    // A QoS 1 message the broker answered: reason 0 is a delivery, 0x80 and
    // above a refusal (ReasonText says which).
    struct Acknowledgement {
        int mid = 0;
        int reason = 0;
        bool Refused() const { return reason >= 0x80; }
    };
    std::vector<Acknowledgement> TakeAcknowledged();
    static std::string ReasonText(int reason);
    // The connection's state in words when it changed since the last call
    // (e.g. "соединение с брокером отклонено: неверное имя или пароль").
    std::vector<std::string> TakeReports();
    const std::string& Prefix() const { return prefix_; }

private:
    struct Core;  // shared with the thread, which may outlive the client
    const std::string prefix_;
    std::shared_ptr<Core> core_;
    std::thread thread_;  // none when there is to be no connection
};
