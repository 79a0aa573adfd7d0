#include "MqttClient.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

constexpr int kKeepAliveSeconds = 30;

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

std::string Status(const std::string& prefix)
{
    return prefix + "/status";
}

} // namespace

MqttClient::MqttClient(const MqttSettings& settings) : settings_(settings), prefix_(settings.prefix)
{
    static Library library;
    mosq_ = mosquitto_new(settings.clientId.empty() ? nullptr : settings.clientId.c_str(), true, this);
    if (!mosq_)
        throw std::runtime_error("mosquitto_new");
    // Publish comes from the caller's thread, the network from ours.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq_, OnConnect);
    mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
    mosquitto_publish_callback_set(mosq_, OnPublish);
    static const std::string offline = "offline";
    mosquitto_will_set(mosq_, Status(prefix_).c_str(), static_cast<int>(offline.size()), offline.data(), 1, true);
    if (!settings.username.empty())
        mosquitto_username_pw_set(mosq_, settings.username.c_str(),
                                  settings.password.empty() ? nullptr : settings.password.c_str());
    if (settings.tls) {
        const int rc = mosquitto_tls_set(mosq_, settings.caFile.empty() ? nullptr : settings.caFile.c_str(),
                                         settings.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                                         nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            Report(std::string("TLS не настроен: ") + mosquitto_strerror(rc));
    }
    thread_ = std::thread([this] { Run(); });
}

MqttClient::~MqttClient()
{
    stop_ = true;
    thread_.join();
    mosquitto_destroy(mosq_);
}

void MqttClient::Run()
{
    using Clock = std::chrono::steady_clock;
    auto backoff = std::chrono::seconds(1);
    bool first = true;
    bool open = false;
    auto nextTry = Clock::now();
    while (!stop_) {
        if (!open) {
            if (Clock::now() < nextTry) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            refused_ = false;
            const int rc = first ? mosquitto_connect_async(mosq_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds)
                                 : mosquitto_reconnect_async(mosq_);
            // Without waiting for the TCP handshake (a host that does not
            // answer would hold up a stop): the loop below completes it.
            first = rc != MOSQ_ERR_SUCCESS && first;
            open = rc == MOSQ_ERR_SUCCESS;
            if (!open) {
                Report("нет соединения с брокером " + settings_.host + ":" + std::to_string(settings_.port) + ": "
                       + (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc)));
                nextTry = Clock::now() + backoff;
                backoff = std::min(backoff * 2, kMaxBackoff);
            }
            continue;
        }
        const int rc = mosquitto_loop(mosq_, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (!connected_ && !refused_)  // lost before the broker's answer: TLS, the TCP handshake
                Report("нет соединения с брокером " + settings_.host + ":" + std::to_string(settings_.port) + ": "
                       + (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc)));
            open = false;
            connected_ = false;
            nextTry = Clock::now() + backoff;
            backoff = std::min(backoff * 2, kMaxBackoff);
        } else if (connected_) {
            backoff = std::chrono::seconds(1);
        }
    }
    if (!open)
        return;
    // The broker told: "offline" now, not the will after the keep-alive.
    if (connected_) {
        static const std::string offline = "offline";
        int mid = 0;
        mosquitto_publish(mosq_, &mid, Status(prefix_).c_str(), static_cast<int>(offline.size()), offline.data(), 1,
                          true);
    }
    mosquitto_disconnect(mosq_);
    for (int i = 0; i < 20 && mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS; ++i) {
    }
}

int MqttClient::Publish(const std::string& topic, const std::string& payload, int qos, bool retain)
{
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     qos, retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

std::vector<int> MqttClient::TakeAcknowledged()
{
    std::lock_guard lock(mutex_);
    return std::exchange(acknowledged_, {});
}

std::vector<std::string> MqttClient::TakeReports()
{
    std::lock_guard lock(mutex_);
    return std::exchange(reports_, {});
}

void MqttClient::Report(const std::string& text)
{
    std::lock_guard lock(mutex_);
    if (text == lastReport_)
        return;
    lastReport_ = text;
    reports_.push_back(text);
}

void MqttClient::OnConnect(mosquitto* mosq, void* self, int rc)
{
    auto* client = static_cast<MqttClient*>(self);
    if (rc != 0) {
        client->refused_ = true;
        client->Report(std::string("соединение с брокером отклонено: ") + mosquitto_connack_string(rc));
        return;
    }
    int mid = 0;
    static const std::string online = "online";
    mosquitto_publish(mosq, &mid, Status(client->prefix_).c_str(), static_cast<int>(online.size()), online.data(), 1,
                      true);
    client->connected_ = true;
    ++client->connections_;
    client->Report("соединение с брокером есть");
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc)
{
    auto* client = static_cast<MqttClient*>(self);
    // A connection that never was is told by the attempt's own failure.
    if (client->connected_.exchange(false) && rc != 0)
        client->Report("соединение с брокером потеряно");
}

void MqttClient::OnPublish(mosquitto*, void* self, int mid)
{
    auto* client = static_cast<MqttClient*>(self);
    std::lock_guard lock(client->mutex_);
    client->acknowledged_.push_back(mid);
}
