// TCOMPort's contract on a pseudo-terminal: timeouts, closed-port behaviour,
// exclusive open, line settings, RS-485 direction and the port-name mapping.

#include "TCOMPort.h"
#include "TCOMPort_posix_fields.h"
#include "TCOMPort_posix_p.h"
#include "support/Bytes.h"
#include "support/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

using namespace testing_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void PeerWrite(const PtyPair& pty, const Bytes& bytes)
{
    ASSERT_EQ(::write(pty.PeerFd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(PortClosed, EveryOperationIsANoOp)
{
    TCOMPort port("");
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(port.IsOpen());
    uint8_t buffer[8] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, 8, 1000), 0);
    EXPECT_EQ(port.Write(buffer, 8), 0);
    EXPECT_EQ(port.ClearErrors(), 0);
    EXPECT_EQ(port.Purge(), 0);
    port.SetBaudRate(19200);
    port.DiscardInput();
    port.Close();
    EXPECT_LT(Clock::now() - start, 100ms);
}

// What cannot be used as a port is refused, with why and at which step;
// the reason goes once it opens.
TEST(PortOpen, RefusesWhatIsNotASerialDeviceAndSaysWhy)
{
    using Kind = PortProblem::Kind;
    const std::filesystem::path dir = std::filesystem::temp_directory_path()
                                      / ("zarit-port-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "folder");
    { std::ofstream(dir / "file") << "not a port"; }
    PtyPair pty;
    TCOMPort holder(pty.DevicePath());
    ASSERT_TRUE(holder.Open());
    struct Case {
        std::string path;
        Kind kind;
        const char* step;
    };
    const Case cases[] = {
        {(dir / "missing").string(), Kind::NotFound, "open"},
        {"/nonexistent/ttyX", Kind::NotFound, "open"},
        {(dir / "file").string(), Kind::NotSerial, "lock"},
        {(dir / "folder").string(), Kind::NotSerial, "open"},
        {"/dev/null", Kind::NotSerial, "lock"},
        {pty.DevicePath(), Kind::InUse, "lock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TCOMPort port(c.path);
        EXPECT_EQ(port.Problem().kind, Kind::None) << "nothing tried yet";
        EXPECT_FALSE(port.Open());
        const PortProblem p = port.Problem();
        EXPECT_EQ(p.kind, c.kind) << p.system;
        EXPECT_EQ(p.step, c.step);
        EXPECT_FALSE(p.system.empty());
    }
    TCOMPort port(pty.DevicePath());
    EXPECT_FALSE(port.Open());
    holder.Close();
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.Problem(), PortProblem{});
    std::filesystem::remove_all(dir);
}

class PortTest : public ::testing::Test {
protected:
    PtyPair pty_;
    TCOMPort port_{pty_.DevicePath()};
};

TEST_F(PortTest, WaitRunningOutDiscardsWhatArrivedAndKeepsWhatComesLater)
{
    ASSERT_TRUE(port_.Open());
    port_.SetReadTotalTimeout(2000);  // longer than the caller's wait
    PeerWrite(pty_, ParseHex("AA BB CC"));
    uint8_t buffer[16] = {};
    const auto start = Clock::now();
    EXPECT_THROW(port_.Read(buffer, 10, 300), ETimeout);
    EXPECT_GE(Clock::now() - start, 290ms);
    EXPECT_EQ(port_.ClearErrors(), 0);
    PeerWrite(pty_, ParseHex("01 02"));
    EXPECT_EQ(port_.Read(buffer, 2, 300), 2);
    EXPECT_EQ(Bytes(buffer, buffer + 2), ParseHex("01 02"));
}

// Each bound below is five times the read's own length or more, and each
// timeout that must not end a read lies beyond the bound.
TEST_F(PortTest, ReadEndsOnCountGapAndTotalTimeout)
{
    ASSERT_TRUE(port_.Open());
    port_.SetReadIntervalTimeout(100);
    port_.SetReadTotalTimeout(2000);
    uint8_t buffer[16] = {};

    PeerWrite(pty_, ParseHex("01 02 03 04"));
    EXPECT_EQ(port_.Read(buffer, 4, 3000), 4);

    PeerWrite(pty_, ParseHex("05 06"));
    auto start = Clock::now();
    EXPECT_EQ(port_.Read(buffer, 8, 3000), 2);
    auto took = Clock::now() - start;
    EXPECT_GE(took, 90ms);
    EXPECT_LT(took, 1000ms) << "the gap ends it, not the total timeout";

    port_.SetReadTotalTimeout(400);
    start = Clock::now();
    EXPECT_EQ(port_.Read(buffer, 8, 3000), 0);
    took = Clock::now() - start;
    EXPECT_GE(took, 390ms);
    EXPECT_LT(took, 2500ms) << "the total timeout ends it, quietly";
}

TEST_F(PortTest, SettersBeforeOpenAreNotRemembered)
{
    port_.SetReadTotalTimeout(100);
    port_.SetReadIntervalTimeout(10);
    ASSERT_TRUE(port_.Open());
    uint8_t buffer[4];
    // With the 100 ms total remembered this would return 0 instead.
    EXPECT_THROW(port_.Read(buffer, 4, 300), ETimeout);
}

TEST_F(PortTest, NegativeTimeoutsMeanNone)
{
    ASSERT_TRUE(port_.Open());
    port_.SetReadTotalTimeout(-1);
    port_.SetReadIntervalTimeout(-1);
    uint8_t buffer[4];
    EXPECT_THROW(port_.Read(buffer, 4, 200), ETimeout);
}

TEST_F(PortTest, ClearErrorsCountsWaitingBytes)
{
    ASSERT_TRUE(port_.Open());
    PeerWrite(pty_, ParseHex("01 02 03 04 05 06 07"));
    // The pty hands the bytes over to the device side in its own time.
    int waiting = port_.ClearErrors();
    for (const auto limit = Clock::now() + 5s; waiting < 7 && Clock::now() < limit;) {
        std::this_thread::sleep_for(1ms);
        waiting = port_.ClearErrors();
    }
    EXPECT_EQ(waiting, 7);
    port_.DiscardInput();
    EXPECT_EQ(port_.ClearErrors(), 0);
}

// A pseudo-terminal refuses the RS-485 mode and has no RTS: the program's
// own switching fails at each step, which must not keep the bytes back, nor
// pass for a reason the port is not open.
TEST_F(PortTest, WriteReachesThePeerWhateverSwitchesTheDirection)
{
    ASSERT_TRUE(port_.Open());
    const Bytes frame = ParseHex("01 03 00 00 00 2E C5 D6");
    for (const Rs485Mode mode : {Rs485Mode::Off, Rs485Mode::Rts, Rs485Mode::RtsInverted}) {
        port_.Apply({.rs485 = mode, .rs485DelayBeforeMs = 1, .rs485DelayAfterMs = 1});
        EXPECT_EQ(port_.Write(frame.data(), static_cast<int>(frame.size())), 8);
        uint8_t got[8] = {};
        ASSERT_EQ(::read(pty_.PeerFd(), got, sizeof got), 8);
        EXPECT_EQ(Bytes(got, got + 8), frame);
        EXPECT_EQ(port_.Problem(), PortProblem{});
    }
}

// The direction control's system calls, recorded; the kernel's RS-485 mode
// refused, taken, or taken without the inverted polarity.
struct FakeDirection {
    enum class Kernel { Refuses, Takes, DropsAfterSend };
    static inline Kernel kernel;
    static inline serial_rs485 record;
    static inline std::vector<std::string> seen;

    static int Ioctl(int, unsigned long request, void* argument)
    {
        if (request == TIOCMBIS || request == TIOCMBIC) {
            const bool rts = *static_cast<int*>(argument) == TIOCM_RTS;
            seen.push_back(rts ? (request == TIOCMBIS ? "RTS asserted" : "RTS cleared") : "other modem line");
            return 0;
        }
        auto& r = *static_cast<serial_rs485*>(argument);
        if (kernel == Kernel::Refuses)
            return errno = ENOTTY, -1;
        if (request == TIOCGRS485)
            return r = record, 0;
        seen.push_back(std::string(r.flags & SER_RS485_ENABLED ? "rs485 on" : "rs485 off")
                       + (r.flags & SER_RS485_RTS_ON_SEND ? ", asserted on send" : "")
                       + (r.flags & SER_RS485_RTS_AFTER_SEND ? ", asserted after" : "") + ", "
                       + std::to_string(r.delay_rts_before_send) + "/" + std::to_string(r.delay_rts_after_send));
        if (kernel == Kernel::DropsAfterSend)
            r.flags &= ~SER_RS485_RTS_AFTER_SEND;
        return record = r, 0;
    }
    static constexpr TCOMPort::Platform::SystemCalls kCalls{
        Ioctl, [](int, const void*, size_t n) { return seen.push_back("write " + std::to_string(n)), ssize_t(n); },
        [](int) { return seen.push_back("drain"), 0; },
        [](int32_t ms) { seen.push_back("sleep " + std::to_string(ms)); }};

    const TCOMPort::Platform::SystemCalls* real = std::exchange(TCOMPort::Platform::calls, &kCalls);
    ~FakeDirection() { TCOMPort::Platform::calls = real; }
};

TEST_F(PortTest, DirectionIsSwitchedByTheKernelOrAroundEachWrite)
{
    using K = FakeDirection::Kernel;
    using M = Rs485Mode;
    const std::vector<std::string> manual = {"RTS asserted", "sleep 3", "write 8", "drain", "sleep 7", "RTS cleared"};
    const std::vector<std::string> inverted = {"RTS cleared", "sleep 3", "write 8", "drain", "sleep 7", "RTS asserted"};
    struct Row {
        M mode;
        K kernel;
        std::vector<std::string> apply, write, close;
    };
    const Row rows[] = {
        {M::Off, K::Takes, {}, {"write 8"}, {}},
        {M::Rts, K::Refuses, {"RTS cleared"}, manual, {}},
        {M::RtsInverted, K::Refuses, {"RTS asserted"}, inverted, {}},
        {M::Rts, K::Takes, {"rs485 on, asserted on send, 3/7"}, {"write 8"}, {"rs485 off, asserted on send, 3/7"}},
        {M::RtsInverted, K::Takes, {"rs485 on, asserted after, 3/7"}, {"write 8"}, {"rs485 off, asserted after, 3/7"}},
        {M::RtsInverted, K::DropsAfterSend, {"rs485 on, asserted after, 3/7", "rs485 off, 3/7", "RTS asserted"},
         inverted, {}},
    };
    FakeDirection fake;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "mode " << int(row.mode) << ", kernel " << int(row.kernel));
        FakeDirection::kernel = row.kernel;
        FakeDirection::record = {};
        ASSERT_TRUE(port_.Open());
        const auto step = [](auto action) { FakeDirection::seen.clear(); action(); return FakeDirection::seen; };
        EXPECT_EQ(step([&] { port_.Apply({.rs485 = row.mode, .rs485DelayBeforeMs = 3, .rs485DelayAfterMs = 7}); }),
                  row.apply);
        EXPECT_EQ(step([&] { port_.Write(ParseHex("01 03 00 00 00 2E C5 D6").data(), 8); }), row.write);
        EXPECT_EQ(step([&] { port_.Close(); }), row.close);
    }
}

TEST(PortRs485, ConfigurationWords)
{
    const std::pair<const char*, std::optional<Rs485Mode>> rows[] = {
        {"off", Rs485Mode::Off}, {"RTS", Rs485Mode::Rts}, {"Rts-Inverted", Rs485Mode::RtsInverted},
        {"", std::nullopt}, {"on", std::nullopt}, {"rts ", std::nullopt}, {"rtsinverted", std::nullopt}};
    for (const auto& [word, mode] : rows) {
        std::string error;
        EXPECT_EQ(ParseRs485Mode(word, &error), mode) << word;
        EXPECT_EQ(error.empty(), mode.has_value()) << word;
    }
}

TEST_F(PortTest, WriteGivesUpAfterFiveSecondsOnAStuckLine)
{
    ASSERT_TRUE(port_.Open());
    // Nobody reads the far end, so the pty's buffers fill and stay full.
    const Bytes big(1 << 20, 0x55);
    const auto start = Clock::now();
    EXPECT_EQ(port_.Write(big.data(), static_cast<int>(big.size())), 0);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 4900ms);
    EXPECT_LT(took, 26000ms);  // five times the 5 s it takes, for a loaded machine
}

TEST_F(PortTest, OpenIsExclusiveWithinAndAcrossProcesses)
{
    ASSERT_TRUE(port_.Open());
    EXPECT_TRUE(port_.Open()) << "opening an open port changes nothing";
    TCOMPort second(pty_.DevicePath());
    EXPECT_FALSE(second.Open());

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TCOMPort other(pty_.DevicePath());
        ::_exit(other.Open() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";

    port_.Close();
    EXPECT_TRUE(second.Open());
}

TEST_F(PortTest, LineSettingsChangeOneFieldAndRefusalsKeepThePrevious)
{
    ASSERT_TRUE(port_.Open());
    port_.SetBaudRate(19200);
    termios t = pty_.Settings();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    port_.SetBaudRate(0);
    port_.SetBaudRate(-9600);
    t = pty_.Settings();
    EXPECT_EQ(cfgetospeed(&t), B19200);

    // A pty keeps 8 bits without parity whatever it is told; the field
    // mapping itself is checked on plain records below.
    port_.SetParity(2);
    port_.SetByteSize(7);
    port_.SetStopBits(2);
    EXPECT_TRUE(pty_.Settings().c_cflag & CSTOPB);
    port_.SetStopBits(0);
    EXPECT_FALSE(pty_.Settings().c_cflag & CSTOPB);

    t = pty_.Settings();
    EXPECT_EQ(cfgetospeed(&t), B19200) << "other settings left the rate alone";
}

TEST_F(PortTest, RateWithoutAConstantIsSetThroughTheDriver)
{
    ASSERT_TRUE(port_.Open());
    port_.SetBaudRate(9600);
    port_.SetBaudRate(250000);
    // BOTHER: the rate lives in the kernel's own speed fields.
    EXPECT_EQ(pty_.Settings().c_cflag & CBAUD, static_cast<tcflag_t>(0010000));
    // Rates with a constant, Linux's own above 230400 too, go back to it.
    port_.SetBaudRate(460800);
    termios t = pty_.Settings();
    EXPECT_EQ(cfgetospeed(&t), B460800);
    port_.SetBaudRate(9600);
    t = pty_.Settings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
}

TEST(PortFields, EachSettingChangesItsOwnFieldOnly)
{
    termios base{};
    cfmakeraw(&base);
    base.c_cflag |= CLOCAL | CREAD | CSTOPB;
    cfsetospeed(&base, B19200);

    struct Row {
        const char* name;
        bool (*apply)(termios&, uint8_t);
        uint8_t code;
        tcflag_t cflagSet, cflagClear, iflagSet;
    };
    const Row rows[] = {
        {"no parity", posix_fields::ApplyParity, 0, 0, PARENB | PARODD | CMSPAR, 0},
        {"odd", posix_fields::ApplyParity, 1, PARENB | PARODD, CMSPAR, INPCK},
        {"even", posix_fields::ApplyParity, 2, PARENB, PARODD | CMSPAR, INPCK},
        {"mark", posix_fields::ApplyParity, 3, PARENB | PARODD | CMSPAR, 0, INPCK},
        {"space", posix_fields::ApplyParity, 4, PARENB | CMSPAR, PARODD, INPCK},
        {"7 bits", posix_fields::ApplyByteSize, 7, CS7, CS8 & ~CS7, 0},
        {"5 bits", posix_fields::ApplyByteSize, 5, CS5, CSIZE, 0},
        {"one stop bit", posix_fields::ApplyStopBits, 0, 0, CSTOPB, 0},
        {"two stop bits", posix_fields::ApplyStopBits, 2, CSTOPB, 0, 0},
    };
    for (const auto& row : rows) {
        termios t = base;
        ASSERT_TRUE(row.apply(t, row.code)) << row.name;
        EXPECT_EQ(t.c_cflag & row.cflagSet, row.cflagSet) << row.name;
        EXPECT_EQ(t.c_cflag & row.cflagClear, 0u) << row.name;
        EXPECT_EQ(t.c_iflag & INPCK, row.iflagSet) << row.name;
        EXPECT_EQ(cfgetospeed(&t), B19200) << row.name << " touched the rate";
        EXPECT_TRUE(t.c_cflag & CREAD) << row.name;
    }
    using Apply = bool (*)(termios&, uint8_t);
    const std::pair<Apply, uint8_t> refused[] = {
        {posix_fields::ApplyParity, 5}, {posix_fields::ApplyByteSize, 9},
        {posix_fields::ApplyByteSize, 4}, {posix_fields::ApplyStopBits, 3}};
    for (const auto& [apply, code] : refused) {
        termios t = base;
        EXPECT_FALSE(apply(t, code)) << int{code};
        EXPECT_EQ(std::memcmp(&t, &base, sizeof t), 0) << "a refused code changed the record";
    }
}

TEST(PortNames, MapToDevicesAndBack)
{
    struct Row {
        const char* name;
        const char* path;
    };
    const Row rows[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM10", "/dev/ttyS9"},
        {"COM256", "/dev/ttyS255"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"ttyACM3", "/dev/ttyACM3"},
        {"/tmp/zarit-relay", "/tmp/zarit-relay"},
        {"/dev/pts/4", "/dev/pts/4"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(TCOMPort::DevicePath(row.name), row.path) << row.name;
        EXPECT_EQ(TCOMPort::PortNameFromDevicePath(row.path), row.name) << row.path;
    }
    // Names that are not COMn go under /dev/ unchanged, and come back unchanged.
    for (const char* odd : {"COM0", "COM01", "COMX", "com"}) {
        const std::string path = TCOMPort::DevicePath(odd);
        EXPECT_EQ(path, std::string("/dev/") + odd);
        EXPECT_EQ(TCOMPort::PortNameFromDevicePath(path), odd);
    }
    EXPECT_EQ(TCOMPort::DevicePath("com3"), "/dev/ttyS2");
    EXPECT_EQ(TCOMPort::DevicePath(""), "");
}

} // namespace

namespace {

// Each port of the machine, by its name, whoever holds it: the list opens none.
TEST(PortScan, ListsThePortsByTheirNamesAlsoOneHeldOpen)
{
    const auto ports = TCOMPort::AvailablePorts();
    for (const auto& name : ports) {
        EXPECT_TRUE(std::filesystem::exists(TCOMPort::DevicePath(name))) << name;
        EXPECT_EQ(name.find('/'), std::string::npos) << name;
    }
    if (ports.empty())
        GTEST_SKIP() << "no serial port on this machine";
    TCOMPort held(TCOMPort::DevicePath(ports.front()));
    if (!held.Open())
        GTEST_SKIP() << ports.front() << " cannot be opened here";
    EXPECT_EQ(TCOMPort::AvailablePorts(), ports);
}

} // namespace
