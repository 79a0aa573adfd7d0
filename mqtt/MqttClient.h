#pragma once

// A connection to an MQTT broker that only ever publishes: libmosquitto on a
// thread of its own, so that neither the window nor the poll thread waits for
// the network. It subscribes to nothing.

#include "MqttSettings.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;


class MqttClient {
public:
    // Starts connecting at once and again, backing off up to 30 s, whenever
    // the connection is lost or refused. "<prefix>/status" is "online" while
    // connected, "offline" (the last will) otherwise; both retained.
    explicit MqttClient(const MqttSettings& settings);
    // Tells the broker "offline" and disconnects.
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    bool Connected() const { return connected_.load(); }
    // Goes up by one with each connection made, so that a caller can send
    // again what the last connection may have lost.
    uint64_t Connections() const { return connections_.load(); }
    // The message's id, or -1 when it could not even be queued.
    int Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
    // Ids of QoS 1 messages the broker acknowledged since the last call.
    std::vector<int> TakeAcknowledged();
    // The connection's state in words when it changed since the last call
    // (e.g. "соединение с брокером отклонено: неверное имя или пароль").
    std::vector<std::string> TakeReports();
    const std::string& Prefix() const { return prefix_; }

private:
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    void Report(const std::string& text);
    // Connects, serves the connection and connects again after each loss,
    // waiting 1 s, then twice as long each time up to 30 s.
    void Run();

    static constexpr std::chrono::seconds kMaxBackoff{30};

    mosquitto* mosq_ = nullptr;
    const MqttSettings settings_;
    std::string prefix_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> refused_{false};  // the broker's answer to this attempt was no
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connections_{0};
    std::mutex mutex_;
    std::vector<int> acknowledged_;   // guarded by mutex_
    std::vector<std::string> reports_;
    std::string lastReport_;
    std::thread thread_;  // last: runs once every member above exists
};
