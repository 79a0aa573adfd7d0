// The Winsock TcpSocket under Wine, through TcpTransport, against a server
// thread on the loopback that plays a script: reads that end on their count,
// on the gap, on the total timeout, on the caller's wait or on the far end
// closing; a refused connection; writes, bytes waiting and their discarding.

#include "TcpTransport.h"
#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testing_support::Bytes;
using testing_support::ParseHex;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// What the server does on each connection it accepts, in order.
struct Step {
    enum class Do { Send, Pause, AwaitBytes, Hangup } what;
    Bytes bytes{};  // Send
    int value = 0;  // Pause: milliseconds; AwaitBytes: bytes received on this connection
};

Step Send(std::string_view hex)
{
    return {Step::Do::Send, ParseHex(hex)};
}
Step Pause(int ms)
{
    return {Step::Do::Pause, {}, ms};
}
Step AwaitBytes(int count)
{
    return {Step::Do::AwaitBytes, {}, count};
}
const Step kHangup{Step::Do::Hangup};

// A server on the loopback made of plain blocking Winsock calls and select(),
// so that it shares nothing with the non-blocking, WSAPoll-driven socket
// under test. After its script it keeps what the client sends until the
// client goes. Without listening it only holds its port: a refused one.
class ScriptedServer {
public:
    ScriptedServer(const std::string& host, std::vector<Step> script, bool listening = true)
        : script_(std::move(script))
    {
        WSADATA data;
        started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
        const bool v6 = host.find(':') != std::string::npos;
        sockaddr_storage address{};
        int length = 0;
        if (v6) {
            auto& a = reinterpret_cast<sockaddr_in6&>(address);
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            length = sizeof a;
        } else {
            auto& a = reinterpret_cast<sockaddr_in&>(address);
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof a;
        }
        listener_ = ::socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
        if (listener_ == INVALID_SOCKET || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            (listening && ::listen(listener_, 4) != 0)) {
            failure_ = WSAGetLastError();
            if (listener_ != INVALID_SOCKET)
                closesocket(listener_);
            listener_ = INVALID_SOCKET;
            return;
        }
        port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                         : reinterpret_cast<sockaddr_in&>(address).sin_port);
        if (listening)
            thread_ = std::thread([this] { Run(); });
    }

    ~ScriptedServer()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
        if (listener_ != INVALID_SOCKET)
            closesocket(listener_);
        if (started_)
            WSACleanup();
    }

    bool IsUp() const { return listener_ != INVALID_SOCKET; }
    int Failure() const { return failure_; }
    uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_; }
    Bytes Received() const
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    bool Stopping() const
    {
        std::lock_guard lock(mutex_);
        return stop_;
    }

    // Waits for s to become readable; false once the server is told to stop.
    // The short slices only bound how long stopping takes.
    bool AwaitReadable(SOCKET s) const
    {
        while (!Stopping()) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval slice{0, 20000};
            const int rc = ::select(0, &set, nullptr, nullptr, &slice);
            if (rc != 0)
                return rc > 0;
        }
        return false;
    }

    // Takes what has come; false when the client has gone or on stop.
    bool ReceiveSome(SOCKET s, int& count)
    {
        if (!AwaitReadable(s))
            return false;
        char chunk[256];
        const int r = ::recv(s, chunk, sizeof chunk, 0);
        if (r <= 0)
            return false;
        std::lock_guard lock(mutex_);
        received_.insert(received_.end(), chunk, chunk + r);
        count += r;
        return true;
    }

    bool SendAll(SOCKET s, const Bytes& bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            const int w = ::send(s, reinterpret_cast<const char*>(bytes.data() + done),
                                 static_cast<int>(bytes.size() - done), 0);
            if (w <= 0)
                return false;
            done += static_cast<std::size_t>(w);
        }
        return true;
    }

    // Returns false when the script is cut short (stop, client gone, hang-up).
    bool Play(SOCKET s)
    {
        int count = 0;
        for (const Step& step : script_) {
            switch (step.what) {
            case Step::Do::Send:
                if (!SendAll(s, step.bytes))
                    return false;
                break;
            case Step::Do::Pause: {
                std::unique_lock lock(mutex_);
                if (wake_.wait_for(lock, Ms(step.value), [this] { return stop_; }))
                    return false;
                break;
            }
            case Step::Do::AwaitBytes:
                while (count < step.value)
                    if (!ReceiveSome(s, count))
                        return false;
                break;
            case Step::Do::Hangup:
                return false;
            }
        }
        while (ReceiveSome(s, count)) {
        }
        return true;
    }

    void Run()
    {
        while (AwaitReadable(listener_)) {
            const SOCKET s = ::accept(listener_, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                continue;
            ++accepted_;
            Play(s);
            closesocket(s);
        }
    }

    const std::vector<Step> script_;
    bool started_ = false;
    SOCKET listener_ = INVALID_SOCKET;
    int failure_ = 0;
    uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;  // under mutex_, so that a pause wakes at once
    Bytes received_;     // under mutex_
    std::thread thread_;  // last: starts once every member above exists
};

std::string Name(const std::string& host, uint16_t port)
{
    return "tcp://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

template <typename Pred>
bool WaitUntil(Pred pred, Ms limit = 10s)
{
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

Ms Since(Clock::time_point start)
{
    return std::chrono::duration_cast<Ms>(Clock::now() - start);
}

// Bounds are lower ones that follow from the timeouts, and upper ones five
// times the measured duration or more (reads 0.3 s at most under Wine, the
// reconnection 1.0 s), each below the event that would end the read had the
// expected one failed to.
struct ReadCase {
    const char* name;
    int32_t intervalMs;
    int32_t totalMs;
    std::vector<Step> script;
    int count;
    int waitMs;
    std::optional<Bytes> returns;  // none: the wait runs out, ETimeout
    Ms atLeast;
    Ms below;
    bool staysOpen;
};

TEST(TcpWin32, ReadEndsOnCountGapTotalWaitOrTheFarEndClosing)
{
    const ReadCase cases[] = {
        // No line timeouts: only the count can end it before the wait.
        {"count", 0, 0, {Send("01 02"), Pause(50), Send("03 04")}, 4, 5000, ParseHex("01 02 03 04"), 0ms, 2500ms,
         true},
        {"gap after a byte", 100, 0, {Send("05 06"), Pause(3000), Send("07")}, 8, 5000, ParseHex("05 06"), 90ms,
         2500ms, true},
        {"silent, total before the wait", 100, 300, {}, 8, 5000, Bytes{}, 290ms, 2500ms, true},
        {"silent, wait before the total", 100, 3000, {}, 8, 300, std::nullopt, 290ms, 2500ms, true},
        {"far end closes mid-read", 0, 0, {Send("01 02 03"), Pause(100), kHangup}, 8, 5000, ParseHex("01 02 03"),
         0ms, 2500ms, false},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string host = "127.0.0.1";
        ScriptedServer server(host, c.script);
        ASSERT_TRUE(server.IsUp()) << "WSA error " << server.Failure();
        TcpTransport transport(Name(host, server.Port()), host, server.Port(), c.intervalMs, c.totalMs);
        const auto opened = Clock::now();
        ASSERT_TRUE(transport.EnsureOpen()) << transport.LastError();

        uint8_t buffer[16] = {};
        const auto start = Clock::now();
        std::optional<Bytes> got;
        try {
            const int n = transport.Read(buffer, c.count, c.waitMs);
            got = Bytes(buffer, buffer + std::max(n, 0));
        } catch (const ETimeout&) {
        }
        const Ms took = Since(start);
        EXPECT_EQ(got, c.returns);
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
        EXPECT_EQ(transport.IsOpen(), c.staysOpen);
        if (c.staysOpen)
            continue;

        // Gone: the next transaction connects again, but not within a second
        // of the last attempt, and only that attempt is counted.
        const bool refused = !transport.EnsureOpen();
        // Timed after the call: a loaded machine may be past the second.
        if (Since(opened) < 1s) {
            EXPECT_TRUE(refused) << "connected again within a second";
        }
        ASSERT_TRUE(WaitUntil([&] { return transport.EnsureOpen(); }));
        EXPECT_GE(Since(opened), 1s);
        EXPECT_LT(Since(opened), 5s);
        EXPECT_EQ(transport.ConnectAttempts(), 2u);
        EXPECT_TRUE(WaitUntil([&] { return server.Accepted() == 2; }));
    }
}

class TcpWin32Line : public ::testing::TestWithParam<const char*> {};

TEST_P(TcpWin32Line, RefusedThenWritesReachTheServerAndWaitingBytesAreCountedAndDropped)
{
    const std::string host = GetParam();
    {
        // Bound, never listening: the port is refused, and nobody else takes it.
        ScriptedServer nobody(host, {}, false);
        if (!nobody.IsUp() && host == "::1")
            GTEST_SKIP() << "no IPv6 loopback here (WSA error " << nobody.Failure() << ")";
        ASSERT_TRUE(nobody.IsUp()) << "WSA error " << nobody.Failure();
        TcpTransport refused(Name(host, nobody.Port()), host, nobody.Port(), 0, 200);
        EXPECT_FALSE(refused.EnsureOpen());
        EXPECT_FALSE(refused.IsOpen());
        EXPECT_FALSE(refused.LastError().empty());
        EXPECT_EQ(refused.ConnectAttempts(), 1u);
    }

    ScriptedServer server(host, {AwaitBytes(3), Send("AA BB CC DD")});
    ASSERT_TRUE(server.IsUp()) << "WSA error " << server.Failure();
    TcpTransport transport(Name(host, server.Port()), host, server.Port(), 0, 200);
    ASSERT_TRUE(transport.EnsureOpen()) << transport.LastError();
    const Bytes request = ParseHex("01 02 03");
    EXPECT_EQ(transport.Write(request.data(), 3), 3);
    // The server answers only once the three bytes have reached it.
    EXPECT_TRUE(WaitUntil([&] { return transport.ClearErrors() >= 4; }));
    EXPECT_EQ(server.Received(), request);
    EXPECT_EQ(transport.ClearErrors(), 4);

    transport.DiscardInput();
    EXPECT_EQ(transport.ClearErrors(), 0);
    uint8_t buffer[4] = {};
    EXPECT_EQ(transport.Read(buffer, 4, 5000), 0) << "the discarded bytes were read";
    EXPECT_TRUE(transport.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpWin32Line, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) { return std::string(info.index == 0 ? "IPv4" : "IPv6"); });

} // namespace
