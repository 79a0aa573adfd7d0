// The link over TCP, both ways a relay is reached through the network: RTU
// frames through a serial device server (tcp://) and Modbus TCP through a
// gateway (mbtcp://), against a scripted server on the loopback.

#include "Cp1251.h"
#include "DeviceLink.h"
#include "ExchangeJournal.h"
#include "MbapFrame.h"
#include "ModbusFrame.h"
#include "PortAddress.h"
#include "TcpTransport.h"
#include "support/LibmodbusTcpServer.h"
#include "support/TcpRelay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Outcome = TModBusDevice::Outcome;

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 10s)
{
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

std::vector<std::string> Bodies(ExchangeLog& log)
{
    std::vector<std::string> bodies;
    for (const auto& line : log.Lines())
        bodies.push_back(Body(line));
    return bodies;
}

// What a case expects of one poll.
struct Expect {
    Outcome outcome;
    std::string body;  // of the line after "Запрос"; a prefix for replies
};

struct Case {
    const char* name;
    Script script;
    std::optional<Expect> rtu;   // over tcp://; none: not a case there
    std::optional<Expect> mbap;  // over mbtcp://
};

Bytes WithTransaction(Bytes frame, uint16_t transaction)
{
    frame[0] = static_cast<uint8_t>(transaction >> 8);
    frame[1] = static_cast<uint8_t>(transaction & 0xFF);
    return frame;
}

const Expect kAnswered{Outcome::Answered, "Ответ: "};
const Expect kNoReply{Outcome::NoReply, "Таймаут ответа!"};
const Expect kRejected{Outcome::Rejected, "Ошибка CRC: "};

std::vector<Case> Cases()
{
    return {
        {"good reply", {}, kAnswered, kAnswered},
        {"silent server", [](const Bytes&, const Bytes&) { return Reply{}; }, kNoReply, kNoReply},
        {"closes mid-reply",
         [](const Bytes&, const Bytes& good) {
             return Reply{{0, Bytes(good.begin(), good.begin() + 20)}, {0, {}, true}};
         },
         kRejected, kRejected},
        {"a late reply to an earlier request first",
         [](const Bytes& request, const Bytes& good) {
             const uint16_t transaction = static_cast<uint16_t>(request[0] << 8 | request[1]);
             Bytes stale = WithTransaction(good, static_cast<uint16_t>(transaction - 1));
             stale[10] ^= 0x55;  // other values: taking it would show
             return Reply{{0, stale}, {30, good}};
         },
         std::nullopt, kAnswered},
        {"wrong unit identifier",
         [](const Bytes&, const Bytes& good) {
             Bytes wrong = good;
             wrong[6] ^= 0x01;
             return Reply{{0, wrong}};
         },
         std::nullopt, kRejected},
        // No frame is that long: refused on its header, not waited for.
        {"length field beyond 254",
         [](const Bytes&, const Bytes& good) {
             Bytes header(good.begin(), good.begin() + 7);
             header[4] = 0x01;
             header[5] = 0x00;
             return Reply{{0, header}};
         },
         std::nullopt, kRejected},
        {"split by 50 ms", [](const Bytes&, const Bytes& good) { return Split(good, 40, 50); }, kAnswered, kAnswered},
        // The serial line's rule carries over for RTU frames; a Modbus TCP
        // frame says its own length, and TCP may well pause inside it.
        {"split by 150 ms", [](const Bytes&, const Bytes& good) { return Split(good, 40, 150); }, kRejected,
         kAnswered},
    };
}

class NetworkTest : public ::testing::TestWithParam<std::pair<TcpRelay::Framing, const char*>> {};

TEST_P(NetworkTest, EachCaseGivesItsOutcomeAndLine)
{
    const auto [framing, host] = GetParam();
    const bool mbap = framing == TcpRelay::Framing::Mbap;
    for (const Case& c : Cases()) {
        const auto& expect = mbap ? c.mbap : c.rtu;
        if (!expect)
            continue;
        SCOPED_TRACE(c.name);
        TcpRelay relay(framing, host);
        DeviceLink link({.portName = relay.Address()});
        TModBusDevice& master = link.Master();
        if (c.script)
            relay.Next(c.script);
        std::vector<uint16_t> dest(46, 0xBEEF);
        const bool ok = master.ReadHoldingRegisters(dest.data(), 0, 46);
        EXPECT_EQ(master.LastOutcome(), expect->outcome);
        const auto bodies = Bodies(link.Log());
        ASSERT_EQ(bodies.size(), 2u);
        EXPECT_TRUE(bodies[0].starts_with("Запрос: ")) << bodies[0];
        EXPECT_TRUE(bodies[1].starts_with(expect->body)) << bodies[1];
        if (ok)
            EXPECT_EQ(dest, relay.LastServed());
        else
            EXPECT_EQ(dest, std::vector<uint16_t>(46, 0xBEEF)) << "a rejected reply leaves the registers alone";
        // Whatever happened, the next poll is answered, on a new connection
        // if the old one went.
        relay.WaitIdle();
        ASSERT_TRUE(WaitUntil([&] { return master.ReadHoldingRegisters(dest.data(), 0, 46); }));
        EXPECT_EQ(dest, relay.LastServed());
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, NetworkTest,
                         ::testing::Values(std::make_pair(TcpRelay::Framing::Rtu, "127.0.0.1"),
                                           std::make_pair(TcpRelay::Framing::Mbap, "127.0.0.1"),
                                           std::make_pair(TcpRelay::Framing::Rtu, "::1"),
                                           std::make_pair(TcpRelay::Framing::Mbap, "::1")));

TEST(NetworkLink, RequestsOnTheWireAreTheFormsOwn)
{
    TcpRelay rtu(TcpRelay::Framing::Rtu);
    TcpRelay mbap(TcpRelay::Framing::Mbap);
    DeviceLink overRtu({.portName = rtu.Address(), .address = 1});
    DeviceLink overMbap({.portName = mbap.Address(), .address = 7});
    uint16_t dest[46];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(overRtu.Master().ReadHoldingRegisters(dest, 0, 46));
        ASSERT_TRUE(overMbap.Master().ReadHoldingRegisters(dest, 0, 46));
    }
    overMbap.Master().WriteCoil(2, true);
    overMbap.Master().SendRaw(ParseHex("03 00 00 00 01"), true, 200);
    EXPECT_EQ(rtu.Requests()[1], ParseHex("01 03 00 00 00 2E C5 D6"));
    // One more transaction each time; the unit is NETADDRESS; no CRC.
    const auto requests = mbap.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], ParseHex("00 01 00 00 00 06 07 03 00 00 00 2E"));
    EXPECT_EQ(requests[1], ParseHex("00 02 00 00 00 06 07 03 00 00 00 2E"));
    EXPECT_EQ(requests[2], ParseHex("00 03 00 00 00 06 07 05 00 02 FF 00"));
    EXPECT_EQ(requests[3], ParseHex("00 04 00 00 00 06 07 03 00 00 00 01"));
    EXPECT_EQ(overMbap.Master().LastOutcome(), Outcome::Answered);
    const auto bodies = Bodies(overMbap.Log());
    EXPECT_EQ(bodies[4], "Запрос: 00 03 00 00 00 06 07 05 00 02 FF 00 ");
    EXPECT_EQ(bodies[5], "Ответ: 00 03 00 00 00 06 07 05 00 02 FF 00 ");
}

// Nobody listens at first: every poll fails at once, and the link knocks at
// most once a second; once the server is there, polling comes back.
TEST(NetworkLink, RefusedThenTheServerAppears)
{
    for (auto framing : {TcpRelay::Framing::Rtu, TcpRelay::Framing::Mbap}) {
        TcpRelay relay(framing, "127.0.0.1", false);
        DeviceLink link({.portName = relay.Address(), .pollIntervalMs = 0});
        auto& transport = dynamic_cast<TcpTransport&>(link.Port());
        link.Poller().StartPolling();
        const auto away = Clock::now();
        ASSERT_TRUE(WaitUntil([&] { return link.Poller().Stats().polls >= 15; }));
        const double awaySeconds = std::chrono::duration<double>(Clock::now() - away).count();
        EXPECT_EQ(link.Poller().Stats().answered, 0u);
        EXPECT_LE(transport.ConnectAttempts(), static_cast<uint64_t>(awaySeconds) + 1);
        EXPECT_FALSE(transport.LastError().empty());

        relay.Listen();
        const auto back = Clock::now();
        ASSERT_TRUE(WaitUntil([&] { return link.Poller().Stats().answered > 0; }));
        // At most a second to the next knock, and the poll: 1.1 s measured.
        EXPECT_LT(Clock::now() - back, 5s);
        EXPECT_EQ(relay.Accepted().size(), 1u);
        link.Poller().StopPolling();
    }
}

// A listener on 127.0.0.1 that never accepts, its one-place queue taken by
// a client of its own: a connect to it is neither taken nor refused, as to
// a device server that is switched off.
class Unanswering {
public:
    Unanswering()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), len);
        ::listen(listener_, 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        for (int& filler : fillers_)
            ::connect(filler, reinterpret_cast<sockaddr*>(&a), len);
    }
    ~Unanswering()
    {
        for (int fd : fillers_)
            ::close(fd);
        ::close(listener_);
    }
    std::string Address() const { return "mbtcp://127.0.0.1:" + std::to_string(port_); }

private:
    int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int fillers_[2] = {::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0),
                       ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
    uint16_t port_ = 0;
};

// Why the connection is not there reaches the port's problem (so the link
// panel) and, once, the journal, as a serial port's does. A command never
// waits out a connect: it goes on behind it.
TEST(NetworkLink, WhyNotConnectedIsToldOnce)
{
    Unanswering away;
    TcpRelay refusing(TcpRelay::Framing::Mbap, "127.0.0.1", false);
    TcpRelay closing(TcpRelay::Framing::Mbap);
    closing.Next([](const Bytes&, const Bytes&) { return Reply{{0, {}, true}}; });
    using Kind = PortProblem::Kind;
    const struct {
        std::string address;
        Kind kind;
        const char* words;
    } rows[] = {
        {"mbtcp://no..such.host:502", Kind::NameNotFound, "имя не найдено"},  // refused by the resolver itself
        {refusing.Address(), Kind::Refused, "соединение отклонено"},
        {away.Address(), Kind::NoAnswer, "нет ответа"},
        {closing.Address(), Kind::ClosedByServer, "соединение закрыто сервером"},
    };
    char folder[] = "/tmp/zarit-network-XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.address);
        std::filesystem::remove_all(folder);
        ExchangeJournal journal(folder);
        {
            DeviceLink link({.portName = row.address}, &journal);
            link.Exclusive([&] { link.Master().WriteCoil(2, true); });
            if (row.kind == Kind::NoAnswer) {
                EXPECT_EQ(link.Port().Problem().kind, Kind::None) << "the command waited for the connect";
            }
            ASSERT_TRUE(WaitUntil([&] { return link.Port().Problem().kind == row.kind; }));
            EXPECT_EQ(PortProblemWords(link.Port().Problem()), row.words);
            for (int i = 0; i < 2; ++i)
                link.Exclusive([&] { link.Master().WriteCoil(2, true); });
        }
        ASSERT_TRUE(journal.Flush());
        std::ifstream in(journal.FileFor(ExchangeJournal::LocalToday()), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        const std::string text = Cp1251ToUtf8(bytes.str());
        const std::string line = "\tПорт " + row.address + " не открыт: " + row.words + " (";
        EXPECT_EQ(text.find(line), text.rfind(line)) << text;
        EXPECT_NE(text.find(line), std::string::npos) << text;
    }
    std::filesystem::remove_all(folder);
}

// Modbus TCP against a server nobody here wrote, over IPv4 and IPv6.
TEST(NetworkLink, LibmodbusTcpServerIsPolledAndCommanded)
{
    for (const char* host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        LibmodbusTcpServer server(host);
        std::vector<uint16_t> values(46);
        for (uint16_t i = 0; i < 46; ++i)
            values[i] = static_cast<uint16_t>(1000 + 37 * i);
        server.SetRegisters(values);
        DeviceLink link({.portName = server.Address(), .address = 1});
        std::vector<uint16_t> dest(46);
        for (int poll = 0; poll < 3; ++poll) {
            ASSERT_TRUE(link.Master().ReadHoldingRegisters(dest.data(), 0, 46)) << Body(link.Log().Lines().back());
            EXPECT_EQ(dest, values);
        }
        link.Master().WriteCoil(2, true);
        EXPECT_EQ(link.Master().LastOutcome(), Outcome::Answered);
        EXPECT_TRUE(server.Coil(2));
        link.Master().WriteCoil(2, false);
        EXPECT_FALSE(server.Coil(2));
        // A typed request: the PDU; the reply of this transaction comes back.
        link.Master().SendRaw(ParseHex("03 00 05 00 01"), false, 200);
        EXPECT_EQ(Body(link.Log().Lines().back()), "Ответ: 00 06 00 00 00 05 01 03 02 04 A1 ");
        // An exception reply is rejected, as a short reply is on the wire.
        EXPECT_FALSE(link.Master().ReadHoldingRegisters(dest.data(), 40, 46));
        EXPECT_EQ(Body(link.Log().Lines().back()), "Ошибка CRC: 00 07 00 00 00 03 01 83 02 ");
    }
}

TEST(NetworkLink, BuiltFromTheThreeFormsOfPortName)
{
    EXPECT_EQ(DeviceLink({.portName = "tcp://127.0.0.1:1"}).Master().GetFraming(), TModBusDevice::Framing::Rtu);
    EXPECT_EQ(DeviceLink({.portName = "mbtcp://127.0.0.1:1"}).Master().GetFraming(),
              TModBusDevice::Framing::ModbusTcp);
    DeviceLink broken({.portName = "tcp://127.0.0.1"});
    EXPECT_FALSE(broken.PortError().empty());
    EXPECT_FALSE(broken.Port().EnsureOpen());
    uint16_t dest[46];
    EXPECT_FALSE(broken.Master().ReadHoldingRegisters(dest, 0, 46));
}

TEST(PortAddressTest, Forms)
{
    using Kind = PortAddress::Kind;
    struct Row {
        const char* name;
        bool ok;
        Kind kind = Kind::Serial;
        const char* host = "";
        uint16_t port = 0;
    };
    const Row rows[] = {
        {"COM1", true, Kind::Serial, "", 0},
        {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", true, Kind::Serial, "", 0},
        {"ttyUSB0", true, Kind::Serial, "", 0},
        {"tcp://192.168.1.20:4001", true, Kind::RtuOverTcp, "192.168.1.20", 4001},
        {"TCP://gateway.local:502", true, Kind::RtuOverTcp, "gateway.local", 502},
        {"mbtcp://[fe80::1]:502", true, Kind::ModbusTcp, "fe80::1", 502},
        {"mbtcp://[::1]:65535", true, Kind::ModbusTcp, "::1", 65535},
        {"mbtcp://relay-7:1", true, Kind::ModbusTcp, "relay-7", 1},
        {"tcp://192.168.1.20", false},
        {"tcp://192.168.1.20:", false},
        {"tcp://:502", false},
        {"tcp://host:0", false},
        {"tcp://host:65536", false},
        {"tcp://host:50x", false},
        {"mbtcp://fe80::1:502", false},  // IPv6 without brackets
        {"mbtcp://[fe80::1]502", false},
        {"mbtcp://[fe80::1:502", false},
        {"tcp://ho st:502", false},
        {"tcp://", false},
        {"udp://host:502", false},
        {"http://host:80", false},
    };
    for (const Row& row : rows) {
        std::string error;
        const auto address = ParsePortAddress(row.name, &error);
        ASSERT_EQ(address.has_value(), row.ok) << row.name;
        if (!row.ok) {
            EXPECT_EQ(error, PortAddressFormHelp()) << row.name;
            continue;
        }
        EXPECT_EQ(address->kind, row.kind) << row.name;
        EXPECT_EQ(address->host, row.host) << row.name;
        EXPECT_EQ(address->port, row.port) << row.name;
    }
    EXPECT_NE(PortAddressFormHelp().find("mbtcp://"), std::string::npos);
}

TEST(MbapFrameTest, GoldenFrames)
{
    const Bytes rtu = ParseHex("11 03 00 6B 00 03 76 87");
    EXPECT_EQ(Bytes(modbus::RtuPdu(rtu).begin(), modbus::RtuPdu(rtu).end()), ParseHex("03 00 6B 00 03"));
    EXPECT_EQ(modbus::WrapMbap(0x0001, 0x11, modbus::RtuPdu(rtu)), ParseHex("00 01 00 00 00 06 11 03 00 6B 00 03"));
    const auto h = modbus::ParseMbap(ParseHex("12 34 00 00 00 09 11 03 06 02 2B 00 00 00 64"));
    EXPECT_EQ(h.transaction, 0x1234);
    EXPECT_EQ(h.protocol, 0);
    EXPECT_EQ(h.length, 9);
    EXPECT_EQ(h.unit, 0x11);
    uint16_t values[3] = {};
    modbus::DecodeRegisters(ParseHex("03 06 02 2B 00 00 00 64"), 3, values);
    EXPECT_EQ(values[0], 0x022B);
    EXPECT_EQ(values[2], 0x0064);
    EXPECT_TRUE(modbus::IsFrameHeader(modbus::ParseMbap(ParseHex("00 01 00 00 00 FE 01"))));
    EXPECT_FALSE(modbus::IsFrameHeader(modbus::ParseMbap(ParseHex("00 01 00 00 00 FF 01"))));
    EXPECT_FALSE(modbus::IsFrameHeader(modbus::ParseMbap(ParseHex("00 01 00 00 00 01 01"))));
    EXPECT_FALSE(modbus::IsFrameHeader(modbus::ParseMbap(ParseHex("00 01 00 01 00 06 01"))));
    struct Row {
        uint16_t a, b;
        bool earlier;
    };
    for (const Row& r : {Row{1, 2, true}, Row{2, 1, false}, Row{5, 5, false}, Row{0xFFFF, 0, true}, Row{0, 0x8001, false}})
        EXPECT_EQ(modbus::IsEarlierTransaction(r.a, r.b), r.earlier) << r.a << " " << r.b;
}

} // namespace
