// The Win32 TCOMPort under Wine, on COM5 with the raw peer on COM6: timeouts,
// a timed-out read letting go of the buffer, a stuck write, a vanished line,
// line settings, the port names and the list of ports.

#include "LinePeer.h"
#include "TCOMPort.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace win32_support;
using namespace std::chrono_literals;
using testing_support::ParseHex;
using Clock = std::chrono::steady_clock;

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
    port.SetReadTotalTimeout(100);
    port.DiscardInput();
    port.Close();
    EXPECT_LT(Clock::now() - start, 100ms);
}

// Each refused with why, as CreateFileA and GetCommState said. (Wine lets a
// second handle onto a port, so "in use" cannot be shown here.)
TEST(PortOpen, RefusesWhatIsNotAnOpenableSerialPortAndSaysWhy)
{
    using Kind = PortProblem::Kind;
    struct Case {
        const char* path;
        Kind kind;  // Other: whatever the system says
        const char* step;
    };
    const Case cases[] = {
        {"", Kind::Other, "open"},
        {"\\\\.\\COM200", Kind::NotFound, "open"},      // no such port
        {"\\\\.\\NUL", Kind::NotSerial, "line settings"},  // opens, but is no serial device
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TCOMPort port(c.path);
        EXPECT_FALSE(port.Open());
        EXPECT_FALSE(port.IsOpen());
        const PortProblem p = port.Problem();
        if (c.kind != Kind::Other)
            EXPECT_EQ(p.kind, c.kind) << p.code << " " << p.system;
        EXPECT_NE(p.kind, Kind::None);
        EXPECT_EQ(p.step, c.step);
        EXPECT_NE(p.code, 0);
    }
}

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer_.IsOpen()) << kPeerName << " is not linked into the Wine prefix";
        // The pseudo-terminal keeps what an earlier test left unread.
        LinePeer ownEnd(kPortName);
    }

    // Waits until the port reports `count` queued bytes; returns the last count seen.
    int WaitForQueued(int count)
    {
        const auto limit = Clock::now() + 2s;
        int queued = port_.ClearErrors();
        while (queued < count && Clock::now() < limit) {
            std::this_thread::sleep_for(5ms);
            queued = port_.ClearErrors();
        }
        return queued;
    }

    LinePeer peer_;
    TCOMPort port_{TCOMPort::DevicePath(kPortName)};
};

TEST_F(PortTest, WaitRunningOutLetsGoOfTheBufferAndKeepsWhatComesLater)
{
    ASSERT_TRUE(port_.Open());
    port_.SetReadTotalTimeout(2000);  // longer than the caller's wait
    ASSERT_TRUE(peer_.Send(ParseHex("AA BB CC")));
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    const auto start = Clock::now();
    EXPECT_THROW(port_.Read(buffer, 10, 300), ETimeout);
    EXPECT_GE(Clock::now() - start, 290ms);
    const Bytes returned(buffer, buffer + sizeof buffer);
    EXPECT_EQ(port_.ClearErrors(), 0);

    // A read still pending in the driver would take these into the buffer
    // the caller has got back (and may have freed) instead of the next read.
    ASSERT_TRUE(peer_.Send(ParseHex("01 02")));
    EXPECT_EQ(WaitForQueued(2), 2);
    EXPECT_EQ(Bytes(buffer, buffer + sizeof buffer), returned) << "written after the timeout";
    uint8_t next[2] = {};
    EXPECT_EQ(port_.Read(next, 2, 1000), 2);
    EXPECT_EQ(Bytes(next, next + 2), ParseHex("01 02"));
}

// Each bound below is five times the read's own length or more, and each
// timeout that must not end a read lies beyond the bound: here the driver's
// timeouts and the caller's wait race each other.
TEST_F(PortTest, ReadEndsOnCountGapAndTotalTimeout)
{
    ASSERT_TRUE(port_.Open());
    port_.SetReadIntervalTimeout(100);
    port_.SetReadTotalTimeout(2000);
    uint8_t buffer[16] = {};

    ASSERT_TRUE(peer_.Send(ParseHex("01 02 03 04")));
    EXPECT_EQ(port_.Read(buffer, 4, 3000), 4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), ParseHex("01 02 03 04"));

    ASSERT_TRUE(peer_.Send(ParseHex("05 06")));
    auto start = Clock::now();
    EXPECT_EQ(port_.Read(buffer, 8, 3000), 2);
    auto took = Clock::now() - start;
    EXPECT_GE(took, 90ms);
    EXPECT_LT(took, 1000ms) << "the gap ends it, not the total timeout";
    EXPECT_EQ(Bytes(buffer, buffer + 2), ParseHex("05 06"));

    // Nothing at all: the total timeout ends the read quietly with 0 bytes
    // (Wine reports it as a failure, ERROR_TIMEOUT).
    port_.SetReadTotalTimeout(400);
    start = Clock::now();
    EXPECT_EQ(port_.Read(buffer, 8, 3000), 0);
    took = Clock::now() - start;
    EXPECT_GE(took, 390ms);
    EXPECT_LT(took, 2500ms) << "the total timeout ends it, not the wait";
    EXPECT_TRUE(port_.IsOpen());
}

TEST_F(PortTest, OnlyTheWaitEndsAReadWithoutPortTimeouts)
{
    struct Row {
        const char* name;
        void (*before)(TCOMPort&);  // on the closed port
        void (*after)(TCOMPort&);   // once open
    };
    const auto none = [](TCOMPort&) {};
    const Row rows[] = {
        {"fresh open", none, none},
        {"set before the open, not remembered",
         [](TCOMPort& p) { p.SetReadTotalTimeout(100); p.SetReadIntervalTimeout(10); }, none},
        {"negative values", none,
         [](TCOMPort& p) { p.SetReadTotalTimeout(-1); p.SetReadIntervalTimeout(-1); }},
        {"set back to 0", none,
         [](TCOMPort& p) { p.SetReadTotalTimeout(100); p.SetReadTotalTimeout(0); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.before(port_);
        ASSERT_TRUE(port_.Open());
        row.after(port_);
        uint8_t buffer[4];
        EXPECT_THROW(port_.Read(buffer, 4, 300), ETimeout);
        port_.Close();
    }
}

TEST_F(PortTest, ClearErrorsCountsWaitingBytes)
{
    ASSERT_TRUE(port_.Open());
    ASSERT_TRUE(peer_.Send(ParseHex("01 02 03 04 05 06 07")));
    EXPECT_EQ(WaitForQueued(7), 7);
    uint8_t buffer[3];
    EXPECT_EQ(port_.Read(buffer, 3, 1000), 3);
    EXPECT_EQ(port_.ClearErrors(), 4);
    port_.DiscardInput();
    EXPECT_EQ(port_.ClearErrors(), 0);
}

TEST_F(PortTest, WriteReachesThePeer)
{
    ASSERT_TRUE(port_.Open());
    const Bytes frame = ParseHex("01 03 00 00 00 2E C5 D6");
    EXPECT_EQ(port_.Write(frame.data(), static_cast<int>(frame.size())), 8);
    EXPECT_EQ(peer_.Receive(2000, 50), frame);
}

TEST_F(PortTest, WriteGivesUpAfterFiveSecondsOnAStuckLine)
{
    ASSERT_TRUE(port_.Open());
    // Nobody reads the far end, so the line's buffers fill and stay full.
    Bytes big(1 << 20, 0x55);
    const auto start = Clock::now();
    EXPECT_EQ(port_.Write(big.data(), static_cast<int>(big.size())), 0);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 4900ms);
    EXPECT_LT(took, 26000ms);  // five times the 5 s it takes, for a loaded machine

    // The caller has its buffer back and reuses it. A write still pending
    // in the driver would go on sending from it once the far end reads.
    std::fill(big.begin(), big.end(), 0xAA);
    const Bytes drained = peer_.Receive(2000, 300);
    EXPECT_EQ(std::count(drained.begin(), drained.end(), 0xAA), 0)
        << "sent from the buffer after the write gave up";
    const Bytes frame = ParseHex("01 05 00 01 FF 00 DD FA");
    EXPECT_EQ(port_.Write(frame.data(), static_cast<int>(frame.size())), 8);
    EXPECT_EQ(peer_.Receive(2000, 150), frame);
}

TEST_F(PortTest, OpeningAnOpenPortChangesNothingAndAClosedOneReopens)
{
    ASSERT_TRUE(port_.Open());
    EXPECT_TRUE(port_.Open());
    EXPECT_TRUE(port_.IsOpen());
    port_.Close();
    EXPECT_FALSE(port_.IsOpen());
    uint8_t buffer[2] = {};
    EXPECT_EQ(port_.Read(buffer, 2, 1000), 0);
    ASSERT_TRUE(port_.Open());
    ASSERT_TRUE(peer_.Send(ParseHex("0A 0B")));
    EXPECT_EQ(port_.Read(buffer, 2, 1000), 2);
}

// Wine lets a second handle onto a port (Windows would not), so the test
// reads the line settings the port's own handle left on the device.
DCB DeviceState()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    const HANDLE h = ::CreateFileA(TCOMPort::DevicePath(kPortName).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(::GetCommState(h, &dcb));
    ::CloseHandle(h);
    return dcb;
}

TEST_F(PortTest, LineSettingsChangeOneFieldAndRefusalsKeepThePrevious)
{
    ASSERT_TRUE(port_.Open());
    port_.SetStopBits(0);  // the pseudo-terminal keeps what an earlier run left
    struct Row {
        const char* name;
        void (*apply)(TCOMPort&);
        DWORD rate;
        BYTE stopBits;
    };
    // A pseudo-terminal keeps 8 bits without parity whatever it is told, and
    // Wine turns a rate it cannot produce into 38400 while reporting success.
    const Row rows[] = {
        {"19200", [](TCOMPort& p) { p.SetBaudRate(19200); }, 19200, ONESTOPBIT},
        {"rate 0", [](TCOMPort& p) { p.SetBaudRate(0); }, 19200, ONESTOPBIT},
        {"negative rate", [](TCOMPort& p) { p.SetBaudRate(-9600); }, 19200, ONESTOPBIT},
        {"rate the line cannot make", [](TCOMPort& p) { p.SetBaudRate(123456); }, 19200, ONESTOPBIT},
        {"even parity", [](TCOMPort& p) { p.SetParity(2); }, 19200, ONESTOPBIT},
        {"7 bits", [](TCOMPort& p) { p.SetByteSize(7); }, 19200, ONESTOPBIT},
        {"parity code 5", [](TCOMPort& p) { p.SetParity(5); }, 19200, ONESTOPBIT},
        {"two stop bits", [](TCOMPort& p) { p.SetStopBits(2); }, 19200, TWOSTOPBITS},
        {"stop-bit code 3", [](TCOMPort& p) { p.SetStopBits(3); }, 19200, TWOSTOPBITS},
        {"one stop bit", [](TCOMPort& p) { p.SetStopBits(0); }, 19200, ONESTOPBIT},
        {"9600", [](TCOMPort& p) { p.SetBaudRate(9600); }, 9600, ONESTOPBIT},
    };
    for (const auto& row : rows) {
        row.apply(port_);
        const DCB dcb = DeviceState();
        EXPECT_EQ(dcb.BaudRate, row.rate) << row.name;
        EXPECT_EQ(dcb.StopBits, row.stopBits) << row.name;
        EXPECT_EQ(dcb.ByteSize, 8) << row.name;
        EXPECT_EQ(dcb.Parity, NOPARITY) << row.name;
    }
    // The port opens without flow control, which would hold the line.
    const DCB dcb = DeviceState();
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_FALSE(dcb.fInX);
}

// Starts a Linux program from inside Wine; Wine hands back no handle for it,
// and splits the command line by the Windows rules (double quotes group).
bool StartUnixProgram(const std::string& path, std::string commandLine)
{
    std::string dosPath = "Z:" + path;
    std::replace(dosPath.begin(), dosPath.end(), '/', '\\');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(dosPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process))
        return false;
    if (process.hThread)
        ::CloseHandle(process.hThread);
    if (process.hProcess)
        ::CloseHandle(process.hProcess);
    return true;
}

template <typename TryOpen>
bool OpensWithin(std::chrono::milliseconds limit, TryOpen tryOpen)
{
    const auto end = Clock::now() + limit;
    while (!tryOpen()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST(PortLoss, LineGoingAwayReleasesThePortAndItOpensAgainWhenTheLineReturns)
{
    const char* socat = std::getenv("ZARIT_SOCAT");
    const char* prefix = std::getenv("WINEPREFIX");
    ASSERT_TRUE(socat && prefix) << "ZARIT_SOCAT and WINEPREFIX come from ctest in build-win";
    // A pair of its own, COM7 and COM8, that socat drops after a few quiet
    // seconds: the far end vanishes as an unplugged adapter does. Then the
    // same pair comes back once, as the adapter plugged in again; the shell
    // starts it only after the first socat has removed its links. The second
    // pair stays quiet until the port has opened again, which takes up to a
    // second: it waits five times that before it goes.
    const std::string links = std::string(prefix) + "/dosdevices/com";
    const auto pair = [&](int quietSeconds) {
        return std::string(socat) + " -T " + std::to_string(quietSeconds) + " pty,raw,echo=0,link="
            + links + "7 pty,raw,echo=0,link=" + links + "8";
    };
    ASSERT_TRUE(StartUnixProgram("/bin/sh", "/bin/sh -c \"" + pair(2) + "; " + pair(6) + "\""));
    TCOMPort port(TCOMPort::DevicePath("COM7"));
    ASSERT_TRUE(OpensWithin(5s, [&] { return port.Open(); }));
    LineSettings line;
    line.readIntervalMs = 100;
    line.readTotalMs = 300;
    port.KeepOpen(line);  // for the reopen only; this handle keeps no timeouts
    auto remote = std::make_unique<LinePeer>("COM8");
    ASSERT_TRUE(remote->Send(ParseHex("AA BB")));

    // What arrived comes back, without an exception and long before the wait,
    // once socat drops the line after its 2 quiet seconds.
    uint8_t buffer[10] = {};
    auto start = Clock::now();
    EXPECT_EQ(port.Read(buffer, 10, 30000), 2);
    EXPECT_LT(Clock::now() - start, 12s);
    EXPECT_EQ(Bytes(buffer, buffer + 2), ParseHex("AA BB"));

    // Whichever read met the hang-up, the port is let go by the next one at
    // the latest, and nothing waits on the dead line any more.
    start = Clock::now();
    EXPECT_EQ(port.Read(buffer, 10, 15000), 0);
    EXPECT_EQ(port.Write(buffer, 2), 0);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_FALSE(port.IsOpen());
    remote.reset();

    // Back behind the same name: a fresh handle with the kept settings, so a
    // short reply ends on the gap (with none it would wait for all 10 bytes).
    // EnsureOpen tries once a second.
    ASSERT_TRUE(OpensWithin(10s, [&] { return port.EnsureOpen(); }));
    remote = std::make_unique<LinePeer>("COM8");
    ASSERT_TRUE(remote->Send(ParseHex("0C 0D")));
    EXPECT_EQ(port.Read(buffer, 10, 3000), 2);
    EXPECT_EQ(Bytes(buffer, buffer + 2), ParseHex("0C 0D"));

    // The second pair goes too, after its 6 quiet seconds; the test leaves
    // nothing running.
    const auto limit = Clock::now() + 30s;
    while (port.IsOpen() && Clock::now() < limit)
        port.Read(buffer, 10, 1000);
    EXPECT_FALSE(port.IsOpen());
}

TEST(PortNames, MapToDevicePathsAndBack)
{
    struct Row {
        const char* name;
        const char* path;
    };
    const Row rows[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM5", "\\\\.\\COM5"},
        {"COM10", "\\\\.\\COM10"},
        {"COM256", "\\\\.\\COM256"},
        {"com3", "\\\\.\\com3"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(TCOMPort::DevicePath(row.name), row.path) << row.name;
        EXPECT_EQ(TCOMPort::PortNameFromDevicePath(row.path), row.name) << row.path;
    }
    EXPECT_EQ(TCOMPort::DevicePath(""), "");
    EXPECT_EQ(TCOMPort::DevicePath("\\\\.\\COM4"), "\\\\.\\COM4") << "already a device path";
    EXPECT_EQ(TCOMPort::PortNameFromDevicePath("COM7"), "COM7");
    EXPECT_EQ(TCOMPort::PortNameFromDevicePath("\\\\.\\"), "\\\\.\\");
}

// The ports announced in the registry, even ones no open could reach now (as
// one another program holds), beside the pair scripts/test-windows declares.
TEST(PortScan, ListsTheAnnouncedPortsUnopenedInNumericOrder)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t* const announced[][2] = {{L"\\Device\\ZaritTest100", L"COM100"}, {L"\\Device\\ZaritTest77", L"COM77"}};
    for (const auto& [device, port] : announced)
        RegSetValueExW(key, device, 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                       static_cast<DWORD>((std::wcslen(port) + 1) * sizeof(wchar_t)));
    const auto ports = TCOMPort::AvailablePorts();
    for (const auto& value : announced)
        RegDeleteValueW(key, value[0]);
    RegCloseKey(key);
    for (const char* name : {"COM5", "COM6", "COM77", "COM100"})
        EXPECT_EQ(std::count(ports.begin(), ports.end(), name), 1) << name;
    int previous = -1;
    for (const auto& name : ports) {
        ASSERT_EQ(name.rfind("COM", 0), 0u) << name;
        ASSERT_EQ(name.find_first_not_of("0123456789", 3), std::string::npos) << name;
        const int number = std::stoi(name.substr(3));
        EXPECT_GT(number, previous) << name;
        previous = number;
    }
}

} // namespace
