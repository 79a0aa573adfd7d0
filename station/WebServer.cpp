#include "WebServer.h"

#include "Cp1251.h"
#include "EventLog.h"
#include "MqttPayloads.h"
#include "WebAssets.h"

#include <civetweb.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <fstream>
#include <set>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Said of every reply: the page is the station's own and runs nothing else.
constexpr const char* kSafety =
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; frame-ancestors 'none'\r\n";

void Reply(mg_connection* conn, int status, const char* type, const std::string& body, bool head,
           const char* cache = "no-store", const char* extra = "")
{
    const char* reason = mg_get_response_code_text(conn, status);
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: %s\r\n%s%s"
              "Connection: close\r\n\r\n",
              status, reason, type, body.size(), cache, kSafety, extra);
    if (!head)
        mg_write(conn, body.data(), body.size());
}

void Refuse(mg_connection* conn, int status, const std::string& why, bool head, const char* extra = "")
{
    Reply(conn, status, "text/plain; charset=utf-8", why + "\n", head, "no-store", extra);
}

// A query's value by key, URL-decoded; none when absent.
std::optional<std::string> QueryValue(const std::string& query, const char* key)
{
    char value[256];
    if (mg_get_var(query.data(), query.size(), key, value, sizeof value) < 0)
        return std::nullopt;  // absent, or longer than any value we take
    return value;
}

std::string HostName()
{
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
}

std::string Base64Decoded(const std::string& text)
{
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = c ? std::strchr(table, c) : nullptr;
        if (!at)
            break;  // '=' or the end
        bits = bits << 6 | static_cast<uint32_t>(at - table);
        if ((count += 6) >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// The same length and bytes, in a time that does not tell where they differ.
bool SameText(const std::string& a, const std::string& b)
{
    unsigned char differ = a.size() != b.size();
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        differ |= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(a[i]))
                                             ^ std::tolower(static_cast<unsigned char>(b[i])));
    return differ == 0;
}

// Debian's CivetWeb 1.15 looks its TLS functions up by their OpenSSL 1.1
// names, and OpenSSL 3 exports SSL_get_peer_certificate only under its new
// name: the lookup leaves the table's entry empty, and CivetWeb calls it on
// every HTTPS connection. The entry, {name, required, function} in
// CivetWeb's data, gets the function under its new name, which does the
// same (a reference the caller frees). A CivetWeb that found it, or has no
// such table, is left as it is.
void MendCivetTls()
{
    const void* inside = reinterpret_cast<const void*>(&mg_start2);
    dl_iterate_phdr(
        [](dl_phdr_info* lib, std::size_t, void* data) {
            const auto inside = reinterpret_cast<uintptr_t>(data);
            bool ours = false;
            uintptr_t relro = 0, relroEnd = 0;  // read-only once relocated
            for (int i = 0; i < lib->dlpi_phnum; ++i) {
                const ElfW(Phdr)& seg = lib->dlpi_phdr[i];
                const uintptr_t start = lib->dlpi_addr + seg.p_vaddr;
                ours = ours || (seg.p_type == PT_LOAD && inside >= start && inside < start + seg.p_memsz);
                if (seg.p_type == PT_GNU_RELRO)
                    relro = start, relroEnd = start + seg.p_memsz;
            }
            if (!ours)
                return 0;
            static const char name[] = "SSL_get_peer_certificate";
            uintptr_t nameAt = 0;
            for (int i = 0; i < lib->dlpi_phnum && !nameAt; ++i) {
                const ElfW(Phdr)& seg = lib->dlpi_phdr[i];
                if (seg.p_type != PT_LOAD || (seg.p_flags & PF_W))
                    continue;
                const char* begin = reinterpret_cast<const char*>(lib->dlpi_addr + seg.p_vaddr);
                const char* end = begin + seg.p_filesz;
                for (const char* at = std::search(begin, end, name, name + sizeof name); at != end && !nameAt;
                     at = std::search(at + 1, end, name, name + sizeof name))
                    if (at > begin && at[-1] == '\0')
                        nameAt = reinterpret_cast<uintptr_t>(at);
            }
            for (int i = 0; i < lib->dlpi_phnum && nameAt; ++i) {
                const ElfW(Phdr)& seg = lib->dlpi_phdr[i];
                if (seg.p_type != PT_LOAD || !(seg.p_flags & PF_W))
                    continue;
                auto* words = reinterpret_cast<uintptr_t*>(lib->dlpi_addr + seg.p_vaddr);
                const std::size_t count = seg.p_memsz / sizeof(uintptr_t);
                for (std::size_t w = 0; w + 2 < count; ++w) {
                    const auto at = reinterpret_cast<uintptr_t>(&words[w]);
                    if ((at < relro || at >= relroEnd) && words[w] == nameAt && words[w + 2] == 0)
                        words[w + 2] = reinterpret_cast<uintptr_t>(&SSL_get1_peer_certificate);
                }
            }
            return 1;
        },
        const_cast<void*>(inside));
}

} // namespace

WebServer::WebServer(const web::Settings& settings, std::string station, std::vector<uint8_t> units,
                     const std::optional<std::filesystem::path>& eventFolder, Say say)
    : settings_(settings), station_(std::move(station)), host_(HostName()), units_(std::move(units)),
      say_(std::move(say)), trends_(units_.size())
{
    if (eventFolder)
        LoadEvents(*eventFolder);
    const bool tls = !settings_.certFile.empty();
    mg_init_library(tls ? MG_FEATURES_TLS : 0);
    if (tls)
        MendCivetTls();
    const std::string ports = settings_.listen + (tls ? "s" : "");
    const std::string threads = std::to_string(kMaxStreams + 16);
    const char* options[] = {
        "listening_ports", ports.c_str(),
        "num_threads", threads.c_str(),
        // A connection that sends nothing holds its thread this long at most.
        "request_timeout_ms", "10000",
        "max_request_size", "8192",
        "authentication_domain", web::kRealm,
        "ssl_protocol_version", "4",  // TLS 1.2 and later
        "enable_auth_domain_check", "no",
        nullptr,
    };
    mg_callbacks callbacks{};
    callbacks.begin_request = OnRequest;
    callbacks.log_message = OnLog;
    if (tls)
        callbacks.init_ssl = OnTls;
    mg_init_data init{&callbacks, this, options};
    char error[256] = {};
    mg_error_data errors{nullptr, error, sizeof error};
    context_ = mg_start2(&init, &errors);
    if (!context_) {
        say_("веб-страница не открыта на " + settings_.listen + ": " + (error[0] ? error : "ошибка CivetWeb"));
        mg_exit_library();
        return;
    }
    mg_server_port bound[1] = {};
    if (mg_get_server_ports(context_, 1, bound) == 1)
        port_ = static_cast<uint16_t>(bound[0].port);
    say_(std::string("веб-страница: ") + (tls ? "https" : "http") + "://" + ListenHost() + ":" + std::to_string(port_) + "/"
         + (settings_.passwordFile.empty() ? "" : " (с паролем)"));
}

WebServer::~WebServer()
{
    if (!context_)
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    // CivetWeb's listening thread looks at its stop flag only when its poll
    // ends, a second or two when nobody connects: a connection of our own
    // ends it at once.
    std::thread stopping([this] { mg_stop(context_); });
    std::string host = ListenHost();
    if (host == "0.0.0.0")
        host = "127.0.0.1";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::inet_pton(AF_INET, host.c_str(), &to.sin_addr) == 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // its flag set first
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    if (fd >= 0)
        ::close(fd);
    stopping.join();
    mg_exit_library();
}

void WebServer::Show(web::LineView line)
{
    auto shared = std::make_shared<const web::LineView>(std::move(line));
    {
        std::lock_guard lock(mutex_);
        line_ = std::move(shared);
        ++seq_;
    }
    changed_.notify_all();
}

void WebServer::AddPolls(const std::vector<PollSample>& samples)
{
    std::lock_guard lock(trendMutex_);
    for (const PollSample& sample : samples)
        if (sample.answered && sample.unit < trends_.size())
            trends_[sample.unit].Add(
                std::chrono::duration_cast<std::chrono::milliseconds>(sample.at.time_since_epoch()).count(),
                sample.values);
}

void WebServer::AddEvent(const Event& event)
{
    {
        std::lock_guard lock(mutex_);
        Store(EventCsvLine(event, ","));
    }
    changed_.notify_all();
}

void WebServer::Store(std::string csvLine)
{
    std::optional<EventMessage> message = EventJson(csvLine, std::to_string(eventCount_ + 1));
    if (!message)
        return;
    const std::size_t first = csvLine.find(';');
    const std::size_t second = csvLine.find(';', first + 1);
    events_.push_back({message->address, csvLine.substr(first + 1, second - first - 1), std::move(message->json)});
    ++eventCount_;
    if (events_.size() > kMaxEvents)
        events_.pop_front();
}

void WebServer::LoadEvents(const fs::path& folder)
{
    // The newest days' files, newest first, until the page's share is full.
    const std::set<std::string> days = EventLog::Days(folder);
    std::deque<std::string> lines;
    for (auto day = days.rbegin(); day != days.rend() && lines.size() < kMaxEvents; ++day) {
        std::ifstream in(EventLog::DayFile(folder, *day), std::ios::binary);
        std::vector<std::string> read;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            read.push_back(Cp1251ToUtf8(line));
        }
        for (auto it = read.rbegin(); it != read.rend() && lines.size() < kMaxEvents; ++it)
            lines.push_front(std::move(*it));
    }
    std::lock_guard lock(mutex_);
    for (std::string& line : lines)
        Store(std::move(line));
}

std::shared_ptr<const std::string> WebServer::LineText()
{
    std::shared_ptr<const web::LineView> line;
    uint64_t seq = 0;
    {
        std::lock_guard lock(mutex_);
        if (lineTextSeq_ == seq_ || !line_)
            return lineText_;
        line = line_;
        seq = seq_;
    }
    auto text = std::make_shared<const std::string>(web::LineJson(*line, station_, host_));
    std::lock_guard lock(mutex_);
    if (seq > lineTextSeq_) {
        lineText_ = text;
        lineTextSeq_ = seq;
    }
    return text;
}

int WebServer::OnRequest(mg_connection* conn)
{
    const mg_request_info* info = mg_get_request_info(conn);
    auto* self = static_cast<WebServer*>(info->user_data);
    const std::string method = info->request_method ? info->request_method : "";
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        Refuse(conn, 405, "только GET и HEAD", head, "Allow: GET, HEAD\r\n");
        return 405;
    }
    if (!self->Authorized(conn))
        return 401;
    self->Handle(conn, info->local_uri ? info->local_uri : "", info->query_string ? info->query_string : "", head);
    return 200;
}

int WebServer::OnLog(const mg_connection*, const char*)
{
    // A client that went away or sent nonsense is no news for the journal;
    // what stops the start is told from mg_start2's own error.
    return 1;
}

int WebServer::OnTls(void* sslContext, void* user)
{
    const auto* self = static_cast<const WebServer*>(user);
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    if (SSL_CTX_use_certificate_chain_file(ctx, self->settings_.certFile.c_str()) != 1
        || SSL_CTX_use_PrivateKey_file(ctx, self->settings_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_check_private_key(ctx) != 1)
        return -1;
    return 1;
}

bool WebServer::Authorized(mg_connection* conn)
{
    const std::string& file = settings_.passwordFile;
    if (file.empty())
        return true;
    const char* header = mg_get_header(conn, "Authorization");
    // Prometheus knows no digest: basic, but only where TLS hides it.
    if (header && strncasecmp(header, "Basic ", 6) == 0 && mg_get_request_info(conn)->is_ssl) {
        const std::string pair = Base64Decoded(header + 6);
        const std::size_t colon = pair.find(':');
        std::ifstream in(file);
        for (std::string line; colon != std::string::npos && std::getline(in, line);) {
            const std::string user = pair.substr(0, colon);
            const std::string prefix = user + ":" + web::kRealm + ":";
            if (!line.starts_with(prefix))
                continue;
            char hash[33];
            mg_md5(hash, user.c_str(), ":", web::kRealm, ":", pair.c_str() + colon + 1, nullptr);
            if (SameText(line.substr(prefix.size(), 32), hash))
                return true;
        }
    } else if (mg_check_digest_access_authentication(conn, web::kRealm, file.c_str()) > 0) {
        return true;
    }
    mg_send_digest_access_authentication_request(conn, web::kRealm);
    return false;
}

void WebServer::Handle(mg_connection* conn, const std::string& path, const std::string& query, bool head)
{
    const std::string json = "application/json; charset=utf-8";
    if (path == "/api/stream") {
        if (head)
            return Reply(conn, 200, "text/event-stream", "", true);
        return Stream(conn);
    }
    if (path == "/api/line" || path == "/metrics" || path == "/api/setpoints") {
        std::shared_ptr<const web::LineView> line;
        {
            std::lock_guard lock(mutex_);
            line = line_;
        }
        if (!line)
            return Refuse(conn, 503, "опрос ещё не начат", head);
        if (path == "/metrics")
            return Reply(conn, 200, web::kMetricsType, web::MetricsText(*line, std::chrono::system_clock::now()), head);
        if (path == "/api/line")
            return Reply(conn, 200, json.c_str(), *LineText(), head);
        const auto address = web::ParseNumber(QueryValue(query, "relay").value_or(""), 1, 247);
        const std::optional<std::string> setpoints =
            address ? web::SetpointsReply(*line, static_cast<uint8_t>(*address)) : std::nullopt;
        if (!setpoints)
            return Refuse(conn, 404, "нет такого реле на линии", head);
        return Reply(conn, 200, json.c_str(), *setpoints, head);
    }
    if (path == "/api/events") {
        web::EventFilter filter;
        const std::optional<std::string> relay = QueryValue(query, "relay");
        const std::optional<std::string> page = QueryValue(query, "page");
        const auto address = relay ? web::ParseNumber(*relay, 0, 247) : std::nullopt;
        const auto number = page ? web::ParseNumber(*page, 0, 1000000) : std::nullopt;
        if ((relay && !address) || (page && !number))
            return Refuse(conn, 400, "relay: 0..247, page: 0 и больше", head);
        if (address)
            filter.address = static_cast<uint8_t>(*address);
        filter.page = static_cast<uint64_t>(number.value_or(0));
        filter.kind = QueryValue(query, "kind").value_or("");
        std::string body;
        {
            std::lock_guard lock(mutex_);
            body = web::EventsJson(events_, filter);
        }
        return Reply(conn, 200, json.c_str(), body, head);
    }
    if (path == "/api/trend") {
        const auto address = web::ParseNumber(QueryValue(query, "relay").value_or(""), 1, 247);
        const auto unit = address ? std::find(units_.begin(), units_.end(), *address) : units_.end();
        if (unit == units_.end())
            return Refuse(conn, 404, "нет такого реле на линии", head);
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        constexpr int64_t kLatest = int64_t{1} << 53;  // what a page's number holds exactly
        const auto number = [&](const char* key, int64_t fallback, int64_t low, int64_t high) {
            const std::optional<std::string> text = QueryValue(query, key);
            return text ? web::ParseNumber(*text, low, high) : std::optional<int64_t>(fallback);
        };
        const auto to = number("to", now, 0, kLatest);
        const auto from = number("from", to.value_or(now) - TrendHistory::kDetailMs, 0, kLatest);
        const auto points = number("points", 600, 1, 2000);
        if (!from || !to || !points || *from > *to)
            return Refuse(conn, 400, "from ≤ to (мс от 1970 г.), points: 1..2000", head);
        std::string body;
        {
            std::lock_guard lock(trendMutex_);
            body = web::TrendJson(trends_[static_cast<std::size_t>(unit - units_.begin())], static_cast<uint8_t>(*address), now,
                                  *from, *to, static_cast<int>(*points));
        }
        return Reply(conn, 200, json.c_str(), body, head);
    }
    const std::string file = path == "/" ? "/index.html" : path;
    for (std::size_t i = 0; i < kWebAssetCount; ++i)
        if (file == kWebAssets[i].path)
            return Reply(conn, 200, kWebAssets[i].type,
                         std::string(reinterpret_cast<const char*>(kWebAssets[i].data), kWebAssets[i].size), head,
                         "no-cache");
    Refuse(conn, 404, "нет такой страницы", head);
}

void WebServer::Stream(mg_connection* conn)
{
    if (++streams_ > kMaxStreams) {
        --streams_;
        return Refuse(conn, 503, "открыто слишком много страниц", false, "Retry-After: 10\r\n");
    }
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream; charset=utf-8\r\nCache-Control: no-store\r\n%s"
              "Connection: close\r\n\r\nretry: 2000\n\n",
              kSafety);
    uint64_t sentSeq = 0, sentEvents = ~uint64_t{0};
    Clock::time_point sentAt{};
    for (;;) {
        uint64_t seq = 0, events = 0;
        {
            std::unique_lock lock(mutex_);
            changed_.wait_until(lock, sentAt + kStreamEvery, [&] { return stopping_; });
            changed_.wait_until(lock, Clock::now() + kKeepAlive,
                                [&] { return stopping_ || seq_ != sentSeq || eventCount_ != sentEvents; });
            if (stopping_)
                break;
            seq = seq_;
            events = eventCount_;
        }
        std::string out;
        if (seq != sentSeq)
            if (const std::shared_ptr<const std::string> text = LineText())
                out += "event: line\ndata: " + *text + "\n\n";
        if (events != sentEvents)
            out += "event: events\ndata: {\"count\":" + std::to_string(events) + "}\n\n";
        if (out.empty())
            out = ":\n\n";  // keeps proxies and the page's watchdog content
        if (mg_write(conn, out.data(), out.size()) <= 0)
            break;
        sentSeq = seq;
        sentEvents = events;
        sentAt = Clock::now();
    }
    --streams_;
}
