#pragma once

// The line shared with other Modbus TCP masters (a SCADA, the window on a
// laptop). The unit id is the relay's address. A read of a relay's polled
// registers is answered at once from its last poll while that poll is
// fresh; every other request goes to the line between polls, the clients
// taken in turn, each request with its own deadline. Writes are allowed
// only to the WRITERS, and both kinds are events. One thread with one
// poll() over every socket.

#include "Event.h"
#include "GatewayProtocol.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TDeviceControl;

class Gateway {
public:
    using Say = std::function<void(const std::string&)>;
    using Clock = std::chrono::steady_clock;

    struct Relay {
        uint8_t address = 1;
        std::string caption;  // for the events
    };
    // The poller's units in its order: relays[i] is unit i. eventNews, when
    // given, is called on the gateway's thread after each event it adds, so
    // that the events reach their files without waiting for a poll.
    Gateway(const gateway::Settings& settings, TDeviceControl& poller, std::vector<Relay> relays, int timeoutMs,
            int intervalMs, uint16_t registerCount, Say say, std::function<void()> eventNews = {});
    // As Stop.
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Takes no more requests; a request at the line is waited for (polling
    // must still be on), so that a write done is an event. Every connection
    // is closed.
    void Stop();
    // It listens: false, said why, when the address could not be bound.
    bool Listening() const { return !listeners_.empty(); }
    // The writes allowed and refused since the last call.
    std::vector<Event> TakeEvents();
    // Clients connected now, and the requests they sent in all.
    uint64_t Clients() const { return clientCount_; }
    uint64_t Requests() const { return requests_; }

    // Requests a client may have waiting for the line; beyond, it is told busy.
    static constexpr std::size_t kMaxQueued = 16;
    // Replies a client has not taken; beyond, it is no longer read.
    static constexpr std::size_t kMaxUnsent = 64 * 1024;
    // A frame begun and not ended within this closes its connection.
    static constexpr std::chrono::seconds kPartialFrame{5};

private:
    struct Pending {
        gateway::Request request;
        std::size_t relay = 0;
        Clock::time_point deadline;  // to begin at the line by
    };
    struct Client {
        uint64_t id = 0;
        int fd = -1;
        std::string name;  // the address, as the events name it
        bool writer = false;
        gateway::RequestReader reader;
        std::vector<uint8_t> unsent;
        std::deque<Pending> queue;
        Clock::time_point heard;
        Clock::time_point partialSince;
        bool closing = false;
    };
    // What the poll thread hands back; outlives the gateway for a job still
    // queued at the line.
    struct LineSlot;

    void Listen(const std::string& listen);
    void Run();
    void Accept(int listener);
    void Read(Client& client);
    void Handle(Client& client, gateway::Request request);
    void Write(Client& client);
    void Send(Client& client, std::vector<uint8_t> frame);
    void Expire(Clock::time_point now);
    void TakeLineResult();
    void FinishAtLine();
    void StartNext();
    Clock::time_point NextWake(Clock::time_point now) const;
    int RelayOf(uint8_t unit) const;
    void AddEvent(Event event);

    const gateway::Settings settings_;
    TDeviceControl& poller_;
    const std::vector<Relay> relays_;
    const int timeoutMs_;
    const uint16_t registerCount_;
    // A poll older than this is no longer the relay's state: two rounds of
    // the line with every relay taking its whole reply wait.
    const std::chrono::milliseconds maxImageAge_;
    const std::chrono::milliseconds queueWait_;
    Say say_;
    const std::function<void()> eventNews_;

    std::vector<int> listeners_;
    std::vector<std::unique_ptr<Client>> clients_;
    uint64_t nextId_ = 1;
    std::size_t turn_ = 0;         // the client whose request goes to the line next
    uint64_t atLine_ = 0;          // the client whose request is at the line; 0: none
    std::string atLineName_;
    Pending atLinePending_;
    std::shared_ptr<LineSlot> slot_;
    std::map<std::string, Clock::time_point> refusedAt_;  // once a minute a client
    Clock::time_point fullToldAt_{};

    std::mutex eventsMutex_;
    std::vector<Event> events_;

    std::atomic<uint64_t> clientCount_{0};
    std::atomic<uint64_t> requests_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
