// The simulator behind a TCP port, as a serial device server in transparent
// mode: the RTU frames of the line, CRC included, over a connection.

#include "SimMaster.h"
#include "SimProcess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::Bytes;

const std::vector<std::string> kExact = {"--noise", "0", "--speed", "38400"};
const Bytes kReadAll = WithCrc({1, 3, 0, 0, 0, 46});

// A client of the simulator's port, as the monitor's RTU-over-TCP transport
// is: whole frames out, replies read back with a bound.
class Client {
public:
    // address: tcp://127.0.0.1:N or tcp://[::1]:N, as the simulator prints it.
    explicit Client(const std::string& address)
    {
        const std::string hostPort = address.substr(address.find("//") + 2);
        const auto colon = hostPort.rfind(':');
        std::string host = hostPort.substr(0, colon);
        const auto port = static_cast<uint16_t>(std::stoi(hostPort.substr(colon + 1)));
        sockaddr_storage storage{};
        socklen_t length = sizeof(sockaddr_in);
        if (host.starts_with('[')) {
            length = sizeof(sockaddr_in6);
            host = host.substr(1, host.size() - 2);
            auto& a = reinterpret_cast<sockaddr_in6&>(storage);
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            ::inet_pton(AF_INET6, host.c_str(), &a.sin6_addr);
        } else {
            auto& a = reinterpret_cast<sockaddr_in&>(storage);
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
        }
        fd_ = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0
            && ::connect(fd_, reinterpret_cast<const sockaddr*>(&storage), length) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return fd_ >= 0; }
    void Close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void Send(const Bytes& frame)
    {
        ASSERT_EQ(::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(frame.size()));
    }

    // Up to `count` bytes: fewer when the bound runs out or the peer closes.
    Bytes Receive(std::size_t count, std::chrono::milliseconds bound = 5s)
    {
        Bytes bytes;
        const auto deadline = Clock::now() + bound;
        while (bytes.size() < count && !closed_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd pfd{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buffer[256];
            const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (n > 0)
                bytes.insert(bytes.end(), buffer, buffer + n);
            else if (n == 0 || errno != EINTR)
                closed_ = true;  // end of stream, or reset
        }
        return bytes;
    }

    Bytes Exchange(const Bytes& request, std::size_t replySize)
    {
        Send(request);
        return Receive(replySize);
    }

    // True once the peer has closed the connection, within the bound.
    bool ClosedByPeer(std::chrono::milliseconds bound = 5s)
    {
        Receive(1, bound);
        return closed_;
    }

private:
    int fd_ = -1;
    bool closed_ = false;
};

RegisterValues Served(const std::vector<std::string>& options)
{
    auto printed = options;
    printed.insert(printed.begin(), "--print-registers");
    const auto [code, text] = SimProcess::RunToEnd(printed);
    EXPECT_EQ(code, 0) << text;
    return ParsePrintedRegisters(text).value_or(RegisterValues{});
}

bool Ipv6Loopback()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
}

void ExpectCleanStop(SimProcess& sim)
{
    const auto exit = sim.Stop(SIGTERM);
    EXPECT_TRUE(exit.exited) << sim.Output();
    EXPECT_EQ(exit.status, 0) << sim.Output();
}

// The same 46 registers as the simulator prints, and a coil write echoed and
// obeyed, on each loopback address --tcp takes.
TEST(SimTcp, ServesTheRegistersAndTakesACoilWrite)
{
    const std::vector<std::string> options = {"--noise", "0", "--load", "3.70", "--address", "5",
                                              "--speed", "38400", "--set", "13=4"};
    RegisterValues expected = Served(options);
    EXPECT_EQ(expected[0], 370);
    EXPECT_EQ(expected[13], 4);
    struct Case {
        std::string host;
        std::string printed;  // the start of the address printed
    };
    const Case cases[] = {
        {"127.0.0.1", "tcp://127.0.0.1:"},
        {"[::1]", "tcp://[::1]:"},
        {"localhost", "tcp://127.0.0.1:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        if (c.host == "[::1]" && !Ipv6Loopback()) {
            std::printf("[  NOTE    ] no IPv6 loopback here: [::1] not tried\n");
            continue;
        }
        SimProcess sim(SimProcess::OverTcp{c.host}, options);
        const std::string address = sim.WaitForAddress();
        ASSERT_TRUE(address.starts_with(c.printed)) << sim.Output();
        EXPECT_FALSE(address.ends_with(":0")) << "the port picked must be printed";
        Client client(address);
        ASSERT_TRUE(client.Connected()) << address;

        EXPECT_EQ(HexText(client.Exchange(WithCrc({5, 3, 0, 0, 0, 46}), 97)),
                  HexText(ReadReply(5, expected)));
        const Bytes coil = WithCrc({5, 5, 0, 1, 0xFF, 0});
        EXPECT_EQ(HexText(client.Exchange(coil, coil.size())), HexText(coil));
        RegisterValues withRl1 = expected;
        withRl1[4] = 1;  // discrete input 1 follows RL1
        EXPECT_EQ(HexText(client.Exchange(WithCrc({5, 3, 0, 0, 0, 46}), 97)),
                  HexText(ReadReply(5, withRl1)));
        ExpectCleanStop(sim);
    }
}

TEST(SimTcp, FaultsSpoilTheBytesOnTheConnection)
{
    Bytes spoilt = ReadReply(1, Served(kExact));
    spoilt.back() = static_cast<uint8_t>(~spoilt.back());
    SimProcess sim(SimProcess::OverTcp{}, {"--noise", "0", "--speed", "38400", "--bad-crc", "1/1"});
    Client client(sim.WaitForAddress());
    ASSERT_TRUE(client.Connected()) << sim.Output();
    EXPECT_EQ(HexText(client.Exchange(kReadAll, 97)), HexText(spoilt));
    ExpectCleanStop(sim);
}

// Like a device server: one client at a time, the next one taken once the
// first has gone, even when it left without reading its reply.
TEST(SimTcp, OneClientAtATimeThenTheNext)
{
    const std::string good = HexText(ReadReply(1, Served(kExact)));
    SimProcess sim(SimProcess::OverTcp{}, kExact);
    const std::string address = sim.WaitForAddress();
    Client first(address);
    ASSERT_TRUE(first.Connected()) << sim.Output();
    ASSERT_EQ(HexText(first.Exchange(kReadAll, 97)), good);

    Client second(address);
    EXPECT_TRUE(second.ClosedByPeer()) << "a second client must be turned away";
    EXPECT_EQ(HexText(first.Exchange(kReadAll, 97)), good) << "the first one is still served";

    // Gone while its reply is held back for the line's pacing: the reply
    // goes nowhere, and the simulator must live on.
    first.Send(kReadAll);
    first.Close();
    ASSERT_TRUE(sim.WaitForOutput("gone; waiting for the next")) << sim.Output();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Client next(address);
        ASSERT_TRUE(next.Connected());
        EXPECT_EQ(HexText(next.Exchange(kReadAll, 97)), good) << sim.Output();
    }
    EXPECT_NE(sim.Output().find(" refused: "), std::string::npos) << sim.Output();
    ExpectCleanStop(sim);
}

// TCP has no line speed: as on the pty, the simulator makes up for it.
TEST(SimTcp, RepliesTakeTheWireTime)
{
    SimProcess sim(SimProcess::OverTcp{}, {"--speed", "9600"});
    Client client(sim.WaitForAddress());
    ASSERT_TRUE(client.Connected()) << sim.Output();
    // 8 request bytes, 3.5 characters of silence, 97 reply bytes; 10 bits each.
    const std::chrono::duration<double, std::milli> wire{(8 + 3.5 + 97) * 10 * 1000.0 / 9600};
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        ASSERT_EQ(client.Exchange(kReadAll, 97).size(), 97u);
        const std::chrono::duration<double, std::milli> took = Clock::now() - start;
        EXPECT_GE(took.count(), wire.count() - 0.5);
        EXPECT_LT(took.count(), wire.count() + 600);
    }
    ExpectCleanStop(sim);
}

TEST(SimTcp, APortInUseEndsWithExitCode1)
{
    SimProcess holder(SimProcess::OverTcp{}, kExact);
    const std::string address = holder.WaitForAddress();
    ASSERT_FALSE(address.empty()) << holder.Output();
    const std::string hostPort = address.substr(std::string_view("tcp://").size());
    const auto [code, output] = SimProcess::RunToEnd({"--tcp", hostPort});
    EXPECT_EQ(code, 1) << output;
    EXPECT_NE(output.find("cannot listen on " + hostPort), std::string::npos) << output;
    ExpectCleanStop(holder);
}

} // namespace

namespace {

// Our link with a tcp:// port name against the simulator: the RTU master as
// on the serial line, over the connection.
TEST(SimTcp, OurLinkPollsAndCommandsOverTheConnection)
{
    const RegisterValues served = Served(kExact);
    SimProcess sim(SimProcess::OverTcp{}, kExact);
    SimMaster master(sim.WaitForAddress());
    for (int poll = 0; poll < 3; ++poll) {
        const auto read = master.Read();
        ASSERT_TRUE(read.has_value()) << master.LastLine();
        EXPECT_EQ(*read, served);
    }
    master.device.WriteCoil(0, true);
    EXPECT_EQ(master.LastLine(), "Ответ: " + HexText(WithCrc({1, 5, 0, 0, 0xFF, 0})));
}

} // namespace
