#pragma once

// The station seen from a browser and from Prometheus (CivetWeb): the page
// with its live stream of the line, the events and trends it asks for, and
// /metrics. Read-only: nothing here reaches the line. The station hands it
// each tick's line, polls and events; CivetWeb's threads serve them.

#include "Event.h"
#include "TDeviceControl.h"
#include "TrendHistory.h"
#include "WebPages.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mg_connection;
struct mg_context;

class WebServer {
public:
    using Say = std::function<void(const std::string&)>;  // UTF-8

    // units: the relays' addresses in the poller's order. eventFolder: the
    // event files the events page starts with; none: only this run's.
    WebServer(const web::Settings& settings, std::string station, std::vector<uint8_t> units,
              const std::optional<std::filesystem::path>& eventFolder, Say say);
    // Closes every page's stream and stops serving.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // It serves: false, said why, when it could not start.
    bool Serving() const { return context_ != nullptr; }
    // The port it listens on (the one chosen, for LISTEN with port 0).
    uint16_t Port() const { return port_; }

    // From the station's thread.
    void Show(web::LineView line);
    void AddPolls(const std::vector<PollSample>& samples);
    void AddEvent(const Event& event);

    // Live pages at most; one more is told 503.
    static constexpr int kMaxStreams = 64;
    // Events the page can list, the newest.
    static constexpr std::size_t kMaxEvents = 10000;
    // A live page gets the line at most this often.
    static constexpr std::chrono::milliseconds kStreamEvery{250};
    static constexpr std::chrono::seconds kKeepAlive{15};

private:
    static int OnRequest(mg_connection* conn);
    static int OnLog(const mg_connection* conn, const char* message);
    static int OnTls(void* sslContext, void* self);
    bool Authorized(mg_connection* conn);
    std::string ListenHost() const { return settings_.listen.substr(0, settings_.listen.rfind(':')); }
    void Handle(mg_connection* conn, const std::string& path, const std::string& query, bool head);
    void Stream(mg_connection* conn);
    void LoadEvents(const std::filesystem::path& folder);
    void Store(std::string csvLine);
    // The line's JSON, rendered once per tick shown.
    std::shared_ptr<const std::string> LineText();

    const web::Settings settings_;
    const std::string station_;
    const std::string host_;
    const std::vector<uint8_t> units_;
    Say say_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<const web::LineView> line_;
    uint64_t seq_ = 0;
    std::shared_ptr<const std::string> lineText_;
    uint64_t lineTextSeq_ = 0;
    std::deque<web::StoredEvent> events_;
    uint64_t eventCount_ = 0;
    bool stopping_ = false;

    std::mutex trendMutex_;
    std::vector<TrendHistory> trends_;  // a relay each, in units_' order

    std::atomic<int> streams_{0};
    uint16_t port_ = 0;
    mg_context* context_ = nullptr;
};
