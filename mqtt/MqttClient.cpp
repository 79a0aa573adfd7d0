#include "MqttClient.h"

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr std::chrono::seconds kMaxBackoff{30};
const std::string kOnline = "online";
const std::string kOffline = "offline";

// Never cleaned up: a thread left in a name lookup may still use it at exit.
void InitLibrary()
{
    static const bool done = (mosquitto_lib_init(), true);
    (void)done;
}

// Read errno at once: it is the failed call's.
std::string ErrorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    if (rc == MOSQ_ERR_EAI)  // the lookup's own code is left in errno
        return gai_strerror(errno);
    return mosquitto_strerror(rc);
}

} // namespace

struct MqttClient::Core {
    Core(const MqttSettings& s, std::function<void()> n, std::string w)
        : settings(s), status(s.prefix + "/status"), watch(std::move(w)), news(std::move(n))
    {
    }
    ~Core()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }

    void Report(const std::string& text)
    {
        std::lock_guard lock(mutex);
        if (text == lastReport)
            return;
        lastReport = text;
        reports.push_back(text);
        Tell();
    }
    // Under the lock, so that a client gone (stop set) is never told.
    void Tell()
    {
        if (news && !stop)
            news();
    }
    bool Stopping()
    {
        std::lock_guard lock(mutex);
        return stop;
    }
    // Connects (the host's name looked up on the way, which may hang).
    // False when the client was given up meanwhile.
    bool Attempt(bool first, int& rc);
    void Run();
    std::string Unreachable(int rc) const
    {
        return "нет соединения с брокером " + settings.host + ":" + std::to_string(settings.port) + ": "
               + ErrorText(rc);
    }

    static void OnConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted, const mosquitto_property*);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);

    const MqttSettings settings;
    const std::string status;
    const std::string watch;
    const std::function<void()> news;
    mosquitto* mosq = nullptr;
    std::atomic<bool> refused{false};  // the broker's answer to this attempt was no
    std::atomic<bool> connected{false};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> announced{0};
    int onlineMid = -1;  // the network thread's own

    std::mutex mutex;
    bool stop = false;       // guarded by mutex
    bool looking = false;    // in a connect, which looks the name up; guarded by mutex
    bool abandoned = false;  // the client went without waiting; guarded by mutex
    std::vector<Acknowledgement> acknowledged;  // guarded by mutex
    std::vector<std::string> reports;           // guarded by mutex
    std::string lastReport;                     // guarded by mutex
};

MqttClient::MqttClient(const MqttSettings& settings, std::function<void()> news, std::string watch)
    : prefix_(settings.prefix), core_(std::make_shared<Core>(settings, std::move(news), std::move(watch)))
{
    InitLibrary();
    Core& core = *core_;
    core.mosq = mosquitto_new(settings.clientId.empty() ? nullptr : settings.clientId.c_str(), true, &core);
    if (!core.mosq)
        throw std::runtime_error("mosquitto_new");
    // Publish comes from the caller's thread, the network from ours.
    mosquitto_threaded_set(core.mosq, true);
    mosquitto_int_option(core.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // A state is one small packet the broker does not answer: under Nagle it
    // would wait for the delayed ACK of the one before.
    mosquitto_int_option(core.mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(core.mosq, Core::OnConnect);
    mosquitto_disconnect_v5_callback_set(core.mosq, Core::OnDisconnect);
    mosquitto_publish_v5_callback_set(core.mosq, Core::OnPublish);
    mosquitto_subscribe_v5_callback_set(core.mosq, Core::OnSubscribe);
    mosquitto_message_v5_callback_set(core.mosq, Core::OnMessage);

    // Whatever cannot be set up means no connection: a client without its
    // will, its password or its TLS is not the one that was configured.
    std::string problem;
    int rc = mosquitto_will_set(core.mosq, core.status.c_str(), static_cast<int>(kOffline.size()), kOffline.data(), 1,
                                true);
    if (rc != MOSQ_ERR_SUCCESS)
        problem = "последняя воля («offline» в " + core.status + ") не принята: " + ErrorText(rc);
    if (problem.empty() && !settings.username.empty()) {
        rc = mosquitto_username_pw_set(core.mosq, settings.username.c_str(),
                                       settings.password.empty() ? nullptr : settings.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS)
            problem = "имя или пароль не приняты: " + ErrorText(rc);
    }
    if (problem.empty() && settings.tls) {
        if (!settings.caFile.empty()) {
            errno = 0;
            if (std::FILE* ca = std::fopen(settings.caFile.c_str(), "r"))
                std::fclose(ca);
            else
                problem = "TLS не настроен: файл CA " + settings.caFile + " не читается: " + std::strerror(errno);
        }
        if (problem.empty()) {
            rc = mosquitto_tls_set(core.mosq, settings.caFile.empty() ? nullptr : settings.caFile.c_str(),
                                   settings.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
            if (rc != MOSQ_ERR_SUCCESS)
                problem = "TLS не настроен: " + ErrorText(rc);
        }
    }
    if (!problem.empty()) {
        core.Report(problem + "; соединения с брокером не будет");
        return;
    }
    thread_ = std::thread([core = core_] { core->Run(); });
}

MqttClient::~MqttClient()
{
    if (!thread_.joinable())
        return;
    bool abandon = false;
    {
        std::lock_guard lock(core_->mutex);
        core_->stop = true;
        abandon = core_->abandoned = core_->looking;
    }
    // A lookup may take the resolver's whole timeout: the thread keeps its
    // own share of the connection and ends when the lookup does.
    if (abandon)
        thread_.detach();
    else
        thread_.join();
}

bool MqttClient::Core::Attempt(bool first, int& rc)
{
    {
        std::lock_guard lock(mutex);
        if (stop)
            return false;
        looking = true;
    }
    // Without waiting for the TCP handshake (a host that does not answer
    // would hold up a stop): the loop completes it.
    rc = first ? mosquitto_connect_async(mosq, settings.host.c_str(), settings.port, kKeepAliveSeconds)
               : mosquitto_reconnect_async(mosq);
    const int error = errno;
    std::lock_guard lock(mutex);
    looking = false;
    errno = error;
    return !abandoned;
}

void MqttClient::Core::Run()
{
    using Clock = std::chrono::steady_clock;
    auto backoff = std::chrono::seconds(1);
    bool first = true;
    bool open = false;
    auto nextTry = Clock::now();
    while (!Stopping()) {
        if (!open) {
            if (Clock::now() < nextTry) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            refused = false;
            int rc = MOSQ_ERR_SUCCESS;
            if (!Attempt(first, rc))
                return;
            first = rc != MOSQ_ERR_SUCCESS && first;
            open = rc == MOSQ_ERR_SUCCESS;
            if (!open) {
                Report(Unreachable(rc));
                nextTry = Clock::now() + backoff;
                backoff = std::min(backoff * 2, kMaxBackoff);
            }
            continue;
        }
        const int rc = mosquitto_loop(mosq, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (!connected && !refused)  // lost before the broker's answer: TLS, the TCP handshake
                Report(Unreachable(rc));
            open = false;
            connected = false;
            nextTry = Clock::now() + backoff;
            backoff = std::min(backoff * 2, kMaxBackoff);
        } else if (connected) {
            backoff = std::chrono::seconds(1);
        }
    }
    if (!open)
        return;
    // The broker told: "offline" now, not the will after the keep-alive.
    if (connected) {
        int mid = 0;
        mosquitto_publish(mosq, &mid, status.c_str(), static_cast<int>(kOffline.size()), kOffline.data(), 1, true);
    }
    mosquitto_disconnect(mosq);
    for (int i = 0; i < 20 && mosquitto_loop(mosq, 50, 1) == MOSQ_ERR_SUCCESS; ++i) {
    }
}

bool MqttClient::Connected() const
{
    return core_->connected.load();
}

uint64_t MqttClient::Connections() const
{
    return core_->connections.load();
}

uint64_t MqttClient::Announced() const
{
    return core_->announced.load();
}

int MqttClient::Publish(const std::string& topic, const std::string& payload, int qos, bool retain)
{
    int mid = 0;
    const int rc = mosquitto_publish(core_->mosq, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS)
        return mid;
    if (rc != MOSQ_ERR_NO_CONN)
        core_->Report("не опубликовано в " + topic + ": " + ErrorText(rc));
    return -1;
}

std::vector<MqttClient::Acknowledgement> MqttClient::TakeAcknowledged()
{
    std::lock_guard lock(core_->mutex);
    return std::exchange(core_->acknowledged, {});
}

std::vector<std::string> MqttClient::TakeReports()
{
    std::lock_guard lock(core_->mutex);
    return std::exchange(core_->reports, {});
}

std::string MqttClient::ReasonText(int reason)
{
    return mosquitto_reason_string(reason);
}

void MqttClient::Core::OnConnect(mosquitto* mosq, void* self, int rc, int, const mosquitto_property*)
{
    auto* core = static_cast<Core*>(self);
    if (rc != 0) {
        core->refused = true;
        core->Report("соединение с брокером отклонено: " + ReasonText(rc));
        return;
    }
    const int published = mosquitto_publish(mosq, &core->onlineMid, core->status.c_str(),
                                            static_cast<int>(kOnline.size()), kOnline.data(), 1, true);
    // The session is clean: the subscription is made anew each time.
    const int subscribed = core->watch.empty() ? MOSQ_ERR_SUCCESS
                                               : mosquitto_subscribe(mosq, nullptr, core->watch.c_str(), 0);
    if (subscribed != MOSQ_ERR_SUCCESS)
        core->Report("подписка на " + core->watch + " не отправлена: " + ErrorText(subscribed));
    core->connected = true;
    ++core->connections;
    {
        // The report below may repeat the last one's words and tell nobody.
        std::lock_guard lock(core->mutex);
        core->Tell();
    }
    core->Report(published == MOSQ_ERR_SUCCESS ? "соединение с брокером есть"
                                               : "соединение с брокером есть; «online» в " + core->status
                                                     + " не опубликовано: " + ErrorText(published));
}

void MqttClient::Core::OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*)
{
    auto* core = static_cast<Core*>(self);
    // A connection that never was is told by the attempt's own failure.
    if (core->connected.exchange(false) && rc != 0)
        core->Report("соединение с брокером потеряно");
}

void MqttClient::Core::OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*)
{
    auto* core = static_cast<Core*>(self);
    if (mid == core->onlineMid) {
        if (reason >= 0x80)
            core->Report("брокер отклонил «online» в " + core->status + ": " + ReasonText(reason));
        return;
    }
    std::lock_guard lock(core->mutex);
    core->acknowledged.push_back({mid, reason});
    core->Tell();
}

void MqttClient::Core::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted, const mosquitto_property*)
{
    auto* core = static_cast<Core*>(self);
    if (count > 0 && granted[0] >= 0x80)
        core->Report("брокер отклонил подписку на " + core->watch + ": " + ReasonText(granted[0]));
}

void MqttClient::Core::OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*)
{
    auto* core = static_cast<Core*>(self);
    const std::string_view payload(static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(std::max(message->payloadlen, 0)));
    if (core->watch != message->topic || payload != kOnline)
        return;
    ++core->announced;
    std::lock_guard lock(core->mutex);
    core->Tell();
}
