#include "Gateway.h"

#include "TDeviceControl.h"
#include "ModbusFrame.h"
#include "TModBusDevice.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

struct Gateway::LineSlot {
    LineSlot() : wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~LineSlot() { ::close(wake); }
    void Wake() const
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
    }

    const int wake;
    std::mutex mutex;
    bool done = false;
    bool answered = false;
    std::vector<uint8_t> pdu;
};

namespace {

std::string SystemError()
{
    return std::strerror(errno);
}

// The client's address as 16 bytes (IPv4 mapped) and as the events write it.
void Peer(const sockaddr_storage& from, std::array<uint8_t, 16>& address, std::string& name)
{
    char text[INET6_ADDRSTRLEN] = {};
    address.fill(0);
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        address[10] = address[11] = 0xFF;
        std::memcpy(&address[12], &v4.sin_addr, 4);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        std::memcpy(address.data(), &v6.sin6_addr, 16);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            inet_ntop(AF_INET, &address[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
    name = text;
}

std::string Shown(const sockaddr_storage& at)
{
    char host[INET6_ADDRSTRLEN] = {};
    uint16_t port = 0;
    if (at.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(at);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(at);
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

std::string OutcomeText(bool answered, std::span<const uint8_t> pdu)
{
    if (!answered)
        return "нет ответа";
    if (pdu.size() == 2 && (pdu[0] & 0x80)) {
        char code[8];
        std::snprintf(code, sizeof code, "%02X", pdu[1]);
        return std::string("исключение ") + code;
    }
    return "ответ получен";
}

} // namespace

Gateway::Gateway(const gateway::Settings& settings, TDeviceControl& poller, std::vector<Relay> relays, int timeoutMs,
                 int intervalMs, uint16_t registerCount, Say say, std::function<void()> eventNews)
    : settings_(settings),
      poller_(poller),
      relays_(std::move(relays)),
      timeoutMs_(std::max(timeoutMs, 1)),
      registerCount_(registerCount),
      maxImageAge_(2 * (std::max(intervalMs, 0) + static_cast<int>(relays_.size()) * timeoutMs_)),
      // Long enough to wait behind a poll and another client's request.
      queueWait_(std::max(2 * timeoutMs_, 1000)),
      say_(std::move(say)),
      eventNews_(std::move(eventNews)),
      slot_(std::make_shared<LineSlot>())
{
    Listen(settings_.listen);
    if (Listening())
        thread_ = std::thread([this] { Run(); });
}

Gateway::~Gateway()
{
    Stop();
}

void Gateway::Stop()
{
    stop_ = true;
    slot_->Wake();
    if (thread_.joinable())
        thread_.join();
    for (const auto& client : clients_)
        ::close(client->fd);
    clients_.clear();
    for (int fd : listeners_)
        ::close(fd);
    listeners_.clear();
}

void Gateway::Listen(const std::string& listen)
{
    std::string host, port;
    if (!gateway::SplitListen(listen, host, port)) {
        say_("шлюз: LISTEN «" + listen + "» — нужен адрес:порт (127.0.0.1:1502, 0.0.0.0:502, [::]:502)");
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
        say_("шлюз: LISTEN «" + listen + "»: " + gai_strerror(error) + " (адрес пишется цифрами)");
        return;
    }
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        const int on = 1;
        if (fd >= 0)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (fd < 0 || ::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
            say_("шлюз: не слушает " + listen + ": " + SystemError());
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        sockaddr_storage at{};
        socklen_t size = sizeof at;
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
        say_("шлюз Modbus TCP слушает " + Shown(at) + "; запись разрешена "
             + (settings_.writers.empty() ? std::string("никому") : std::to_string(settings_.writers.size())
                                                                       + " адресам и сетям"));
        listeners_.push_back(fd);
    }
    freeaddrinfo(found);
}

std::vector<Event> Gateway::TakeEvents()
{
    std::lock_guard lock(eventsMutex_);
    return std::exchange(events_, {});
}

void Gateway::AddEvent(Event event)
{
    {
        std::lock_guard lock(eventsMutex_);
        events_.push_back(std::move(event));
    }
    if (eventNews_)
        eventNews_();
}

int Gateway::RelayOf(uint8_t unit) const
{
    for (std::size_t i = 0; i < relays_.size(); ++i)
        if (relays_[i].address == unit)
            return static_cast<int>(i);
    return -1;
}

void Gateway::Run()
{
    std::vector<pollfd> fds;
    while (!stop_) {
        fds.clear();
        fds.push_back({slot_->wake, POLLIN, 0});
        for (int fd : listeners_)
            fds.push_back({fd, POLLIN, 0});
        for (const auto& client : clients_) {
            // A client that does not take its replies is not read either.
            short events = client->unsent.size() < kMaxUnsent ? POLLIN : 0;
            if (!client->unsent.empty())
                events |= POLLOUT;
            fds.push_back({client->fd, events, 0});
        }
        const auto now = Clock::now();
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(NextWake(now) - now).count();
        if (::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(wait, 0, 1000))) < 0
            && errno != EINTR)
            break;
        if (stop_) {
            FinishAtLine();
            break;
        }
        uint64_t drained = 0;
        [[maybe_unused]] const ssize_t n = ::read(slot_->wake, &drained, sizeof drained);
        std::size_t at = 1;
        for (int fd : listeners_)
            if (fds[at++].revents & POLLIN)
                Accept(fd);
        // Clients accepted just now have no entry yet: they are read next turn.
        const std::size_t polled = fds.size() - at;
        for (std::size_t i = 0; i < polled; ++i) {
            Client& client = *clients_[i];
            const short revents = fds[at + i].revents;
            if (revents & (POLLERR | POLLNVAL))
                client.closing = true;
            else if (revents & (POLLIN | POLLHUP))
                Read(client);
            if (!client.closing && (revents & POLLOUT))
                Write(client);
        }
        TakeLineResult();
        Expire(Clock::now());
        std::erase_if(clients_, [](const std::unique_ptr<Client>& c) {
            if (c->closing)
                ::close(c->fd);
            return c->closing;
        });
        clientCount_ = clients_.size();
        StartNext();
    }
}

void Gateway::FinishAtLine()
{
    // The line's reply wait and a poll before it, with room to spare.
    const auto until = Clock::now() + 3 * std::chrono::milliseconds(timeoutMs_) + std::chrono::seconds(1);
    while (atLine_ != 0 && Clock::now() < until) {
        pollfd wake{slot_->wake, POLLIN, 0};
        ::poll(&wake, 1, 50);
        TakeLineResult();
    }
}

void Gateway::Accept(int listener)
{
    sockaddr_storage from{};
    socklen_t size = sizeof from;
    const int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    auto client = std::make_unique<Client>();
    std::array<uint8_t, 16> address{};
    Peer(from, address, client->name);
    if (clients_.size() >= static_cast<std::size_t>(settings_.maxClients)) {
        ::close(fd);
        const auto now = Clock::now();
        if (now - fullToldAt_ >= std::chrono::minutes(1)) {
            fullToldAt_ = now;
            say_("шлюз: отказано " + client->name + ": уже " + std::to_string(clients_.size()) + " клиентов (MAXCLIENTS)");
        }
        return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client->id = nextId_++;
    client->fd = fd;
    client->writer = gateway::Allowed(settings_.writers, address);
    client->heard = Clock::now();
    clients_.push_back(std::move(client));
    clientCount_ = clients_.size();
}

void Gateway::Read(Client& client)
{
    uint8_t buffer[1024];
    const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        client.closing = true;
        return;
    }
    if (n < 0)
        return;
    const bool wasPartial = client.reader.Partial();
    for (gateway::Request& request : client.reader.Feed({buffer, static_cast<std::size_t>(n)}))
        Handle(client, std::move(request));
    if (client.reader.Broken()) {
        client.closing = true;  // nothing after a bad header can be framed
        return;
    }
    if (client.reader.Partial() && !wasPartial)
        client.partialSince = Clock::now();
}

void Gateway::Handle(Client& client, gateway::Request request)
{
    const auto now = Clock::now();
    client.heard = now;
    ++requests_;
    if (!gateway::IsRead(request) && !client.writer) {
        const auto told = refusedAt_.find(client.name);
        if (told == refusedAt_.end() || now - told->second >= std::chrono::minutes(1)) {
            std::erase_if(refusedAt_, [&](const auto& entry) { return now - entry.second >= std::chrono::minutes(1); });
            refusedAt_[client.name] = now;
            AddEvent({std::chrono::system_clock::now(), EventKind::Operator, "запись отклонена: " + client.name,
                      gateway::WriteText(request.pdu), std::nullopt});
        }
        Send(client, gateway::Exception(request, gateway::kIllegalFunction));
        return;
    }
    const int relay = RelayOf(request.unit);
    if (relay < 0) {
        Send(client, gateway::Exception(request, gateway::kPathUnavailable));
        return;
    }
    if (gateway::ReadsPolledMap(request, registerCount_)) {
        std::vector<uint16_t> values;
        const PollStats stats = poller_.LastAnswer(static_cast<std::size_t>(relay), values);
        const auto age = std::chrono::system_clock::now() - stats.lastAnswerAt;
        if (stats.lastAnswered && values.size() >= registerCount_ && age <= maxImageAge_)
            Send(client, gateway::Reply(request, gateway::ReadReply(request, values)));
        else
            Send(client, gateway::Exception(request, gateway::kTargetFailed));
        return;
    }
    if (!modbus::ReplyPduSize(request.pdu)) {
        const uint8_t f = request.pdu[0];
        const bool known = (f >= 1 && f <= 6) || f == 0x0F || f == 0x10 || f == 0x16 || f == 0x17;
        Send(client, gateway::Exception(request, known ? gateway::kIllegalDataValue : gateway::kIllegalFunction));
        return;
    }
    // A relay the line polls only rarely for its silence costs nobody a
    // reply wait: its readers are told at once, as its polls would.
    if (poller_.Stats(static_cast<std::size_t>(relay)).rare) {
        Send(client, gateway::Exception(request, gateway::kTargetFailed));
        return;
    }
    if (client.queue.size() >= kMaxQueued) {
        Send(client, gateway::Exception(request, 0x06));  // server busy
        return;
    }
    client.queue.push_back({std::move(request), static_cast<std::size_t>(relay), now + queueWait_});
}

void Gateway::Send(Client& client, std::vector<uint8_t> frame)
{
    client.unsent.insert(client.unsent.end(), frame.begin(), frame.end());
    Write(client);
}

void Gateway::Write(Client& client)
{
    while (!client.unsent.empty()) {
        const ssize_t n = ::send(client.fd, client.unsent.data(), client.unsent.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                client.closing = true;
            return;
        }
        client.unsent.erase(client.unsent.begin(), client.unsent.begin() + n);
    }
}

void Gateway::Expire(Clock::time_point now)
{
    const auto idle = std::chrono::seconds(settings_.idleSeconds);
    for (const auto& client : clients_) {
        if (now - client->heard >= idle || (client->reader.Partial() && now - client->partialSince >= kPartialFrame))
            client->closing = true;
        // Past its deadline a request is not begun: the line goes on.
        while (!client->queue.empty() && client->queue.front().deadline <= now) {
            Send(*client, gateway::Exception(client->queue.front().request, gateway::kTargetFailed));
            client->queue.pop_front();
        }
    }
}

Gateway::Clock::time_point Gateway::NextWake(Clock::time_point now) const
{
    Clock::time_point next = now + std::chrono::seconds(1);
    for (const auto& client : clients_) {
        next = std::min(next, client->heard + std::chrono::seconds(settings_.idleSeconds));
        if (client->reader.Partial())
            next = std::min(next, client->partialSince + kPartialFrame);
        if (!client->queue.empty())
            next = std::min(next, client->queue.front().deadline);
    }
    return next;
}

void Gateway::StartNext()
{
    if (atLine_ != 0 || clients_.empty())
        return;
    for (std::size_t k = 0; k < clients_.size(); ++k) {
        Client& client = *clients_[(turn_ + k) % clients_.size()];
        if (client.queue.empty())
            continue;
        turn_ = (turn_ + k + 1) % clients_.size();
        atLine_ = client.id;
        atLineName_ = client.name;
        atLinePending_ = std::move(client.queue.front());
        client.queue.pop_front();
        {
            std::lock_guard lock(slot_->mutex);
            slot_->done = false;
        }
        const uint8_t unit = atLinePending_.request.unit;
        poller_.RunBetweenPolls([slot = slot_, unit, pdu = atLinePending_.request.pdu](TModBusDevice* master) {
            bool answered = false;
            std::vector<uint8_t> reply;
            if (master) {
                const uint8_t own = master->Address();
                master->SetAddress(unit);
                answered = master->Pass(pdu, reply);
                master->SetAddress(own);
            }
            {
                std::lock_guard lock(slot->mutex);
                slot->done = true;
                slot->answered = answered;
                slot->pdu = std::move(reply);
            }
            slot->Wake();
        });
        return;
    }
}

void Gateway::TakeLineResult()
{
    if (atLine_ == 0)
        return;
    bool answered = false;
    std::vector<uint8_t> pdu;
    {
        std::lock_guard lock(slot_->mutex);
        if (!slot_->done)
            return;
        answered = slot_->answered;
        pdu = std::move(slot_->pdu);
    }
    const gateway::Request& request = atLinePending_.request;
    const auto client = std::find_if(clients_.begin(), clients_.end(),
                                     [&](const std::unique_ptr<Client>& c) { return c->id == atLine_; });
    if (!gateway::IsRead(request)) {
        AddEvent({std::chrono::system_clock::now(), EventKind::Operator,
                  gateway::WriteText(request.pdu) + " от " + atLineName_,
                  OutcomeText(answered, pdu), std::nullopt, relays_[atLinePending_.relay].caption});
    }
    if (client != clients_.end() && !(*client)->closing)
        Send(**client, answered ? gateway::Reply(request, pdu) : gateway::Exception(request, gateway::kTargetFailed));
    atLine_ = 0;
}
