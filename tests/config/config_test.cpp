#include "TIniFile.h"
#include "GatewayProtocol.h"
#include "LinkConfig.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

class IniTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("zarit-ini-" + std::to_string(::getpid()) + "-"
                                            + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "ZaritMon.ini").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Put(const std::string& content) const
    {
        std::ofstream(path_, std::ios::binary) << content;
    }
    std::string Get() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path dir_;
    std::string path_;
};

TEST_F(IniTest, NoFileGivesDefaultsAndCreatesNothing)
{
    const LinkConfig c = ReadLinkConfig(TIniFile(path_));
    EXPECT_EQ(c.port, "COM1");
    EXPECT_EQ(c.speed, 9600);
    EXPECT_EQ(c.responseTimeout, 1000);
    EXPECT_EQ(c.SlaveAddress(), 1);
    EXPECT_EQ(c.refreshInterval, 1000);
    EXPECT_FALSE(fs::exists(path_));
}

TEST_F(IniTest, ReadsMatchNamesWithoutCaseAndIgnoreSpaces)
{
    Put("; settings\r\n[other]\r\nport=COM9\r\n[ config ]\r\n  port  =  COM3  \r\nSpeed=19200\r\n"
        "netaddress = 5\r\n");
    const TIniFile ini(path_);
    const LinkConfig c = ReadLinkConfig(ini);
    EXPECT_EQ(c.port, "COM3");
    EXPECT_EQ(c.speed, 19200);
    EXPECT_EQ(c.SlaveAddress(), 5);
    EXPECT_EQ(c.responseTimeout, 1000);
    EXPECT_EQ(ini.ReadString("CONFIG", "missing", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadString("nosection", "PORT", "dflt"), "dflt");
}

TEST_F(IniTest, IntegerReadsFallBackForTextThatIsNotAnInteger)
{
    struct Row {
        const char* text;
        int32_t expected;  // default 1000
    };
    const Row rows[] = {
        {"abc", 1000}, {"", 1000}, {"12abc", 1000}, {"0x10", 1000}, {"1 2", 1000},
        {"+7", 7}, {"-1", -1}, {" 42 ", 42}, {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN}, {"2147483648", 1000}, {"99999999999999999999", 1000},
        {"-", 1000}, {"+", 1000},
    };
    for (const auto& row : rows) {
        Put(std::string("[Config]\r\nREFRESHINTERVAL=") + row.text + "\r\n");
        EXPECT_EQ(TIniFile(path_).ReadInteger("Config", "REFRESHINTERVAL", 1000), row.expected)
            << '"' << row.text << '"';
    }
    Put("[Config]\r\nRESPONSETIMEOUT=abc\r\nSPEED=\r\n");
    EXPECT_EQ(TIniFile(path_).ReadString("Config", "RESPONSETIMEOUT", "1000"), "abc");
    EXPECT_EQ(TIniFile(path_).ReadString("Config", "SPEED", "x"), "") << "present but empty";
    EXPECT_EQ(ReadLinkConfig(TIniFile(path_)).speed, 9600);
}

TEST_F(IniTest, NetAddressKeepsTheLowEightBits)
{
    for (auto [text, address] : {std::pair{"256", 0}, std::pair{"-1", 255}, std::pair{"257", 1},
                                 std::pair{"5", 5}}) {
        Put(std::string("[Config]\nNETADDRESS=") + text + "\n");
        EXPECT_EQ(ReadLinkConfig(TIniFile(path_)).SlaveAddress(), address) << text;
    }
}

// The line's relays: addresses and names as listed, NETADDRESS's relay
// always among them, bad lines named and skipped, at most 32.
TEST_F(IniTest, RelaysOfTheLine)
{
    auto addresses = [](const RelayList& list) {
        std::string text;
        for (const auto& r : list.relays)
            text += std::to_string(r.address) + (r.name.empty() ? "" : ":" + r.name) + " ";
        return text;
    };
    std::string many = "[Relays]\n";
    for (int a = 1; a <= 40; ++a)
        many += std::to_string(a) + "=\n";
    struct Row {
        const char* name;
        std::string file;
        uint8_t netAddress;
        std::string relays;
        std::size_t shown;
        std::vector<std::size_t> badLines;
    };
    const Row rows[] = {
        {"no section: NETADDRESS alone", "[Config]\nNETADDRESS=3\n", 3, "3 ", 0, {}},
        {"listed, names kept byte for byte", "[Relays]\n1=\xC2\xE2\xEE\xE4 1\n 2 = F2 \n5=\n[Other]\n7=x\n", 2,
         "1:\xC2\xE2\xEE\xE4 1 2:F2 5 ", 1, {}},
        {"NETADDRESS added at the end", "[Relays]\n1=a\n2=b\n", 9, "1:a 2:b 9 ", 2, {}},
        {"bad lines skipped, a duplicate counts once",
         "[Relays]\n; comment\nx=1\n0=a\n248=b\nno equals\n4=first\n4=second\n\n6=\n", 6, "4:first 6 ", 1,
         {3, 4, 5, 6}},
        {"at most 32, NETADDRESS among them", many, 40, "", 31, {33, 34, 35, 36, 37, 38, 39, 40}},
    };
    for (const Row& row : rows) {
        Put(row.file);
        const RelayList list = ReadRelayList(TIniFile(path_), row.netAddress);
        if (!row.relays.empty()) {
            EXPECT_EQ(addresses(list), row.relays) << row.name;
        }
        ASSERT_LE(list.relays.size(), RelayList::kMaxRelays) << row.name;
        ASSERT_LT(list.shown, list.relays.size()) << row.name;
        EXPECT_EQ(list.relays[list.shown].address, row.netAddress) << row.name;
        EXPECT_EQ(list.shown, row.shown) << row.name;
        ASSERT_EQ(list.problems.size(), row.badLines.size()) << row.name;
        for (std::size_t i = 0; i < row.badLines.size(); ++i)
            EXPECT_NE(list.problems[i].find("строка " + std::to_string(row.badLines[i]) + " "), std::string::npos)
                << row.name << ": " << list.problems[i];
    }
}

TEST_F(IniTest, EchoIsOnOrOffOnlyWhenItSaysSo)
{
    using Mode = TModBusDevice::EchoMode;
    for (auto [line, mode] : {std::pair{"", Mode::Auto}, std::pair{"ECHO=auto\n", Mode::Auto},
                              std::pair{"ECHO = On \n", Mode::On}, std::pair{"echo=OFF\n", Mode::Off},
                              std::pair{"ECHO=yes\n", Mode::Auto}, std::pair{"ECHO=\n", Mode::Auto}}) {
        Put(std::string("[Config]\n") + line);
        EXPECT_EQ(ToLinkSettings(ReadLinkConfig(TIniFile(path_))).echo, mode) << line;
    }
}

// The line's settings carry RS485's mode and delays to the port; a word it
// does not know is told and leaves RTS alone.
TEST_F(IniTest, Rs485ReachesTheLineOrIsTold)
{
    struct Row {
        const char* lines;
        Rs485Mode mode;
        int32_t before, after;
        bool told;
    };
    for (const Row& row : {Row{"", Rs485Mode::Off, 0, 0, false},
                           Row{"RS485=RTS\nRS485DELAYBEFORE=2\nRS485DELAYAFTER=5\n", Rs485Mode::Rts, 2, 5, false},
                           Row{"RS485=rts-inverted\n", Rs485Mode::RtsInverted, 0, 0, false},
                           Row{"RS485=yes\n", Rs485Mode::Off, 0, 0, true}}) {
        Put(std::string("[Config]\n") + row.lines);
        std::string problem;
        const LineSettings line = ToLinkSettings(ReadLinkConfig(TIniFile(path_)), &problem).Line();
        EXPECT_EQ(line.rs485, row.mode) << row.lines;
        EXPECT_EQ(line.rs485DelayBeforeMs, row.before) << row.lines;
        EXPECT_EQ(line.rs485DelayAfterMs, row.after) << row.lines;
        EXPECT_EQ(problem.rfind("RS485=yes: ", 0) == 0, row.told) << problem;
    }
}

// [MQTT] never gives a connection less safe than the one it names: a TLS
// it cannot read, a password file it cannot read or a topic no broker takes
// turns publishing off with the reason. A DISCOVERY it does not know is told
// and announces nothing, the rest published as configured.
TEST_F(IniTest, MqttSettingsAreTakenOnlyWhenTheyAreWhatTheySay)
{
    std::ofstream(dir_ / "password") << "secret\r\n";
    const std::string password = "PASSWORDFILE=" + (dir_ / "password").string() + "\n";
    struct Row {
        std::string lines;  // after HOST
        bool published;
        bool tls;
        const char* problem;  // the reason's start
        bool homeAssistant = false;
    };
    for (const Row& row : {Row{"TLS=Yes\n" + password, true, true, ""}, Row{"TLS=0\nTOPIC=a/b/\n", true, false, ""},
                           Row{"TLS=maybe\n", false, false, "TLS=maybe: "},
                           Row{"PASSWORDFILE=" + (dir_ / "none").string() + "\n", false, false, "файл пароля "},
                           Row{"TOPIC=plant/+/relays\n", false, false, "TOPIC "},
                           Row{"TOPIC=plant/#\n", false, false, "TOPIC "},
                           Row{std::string("TOPIC=pl\0nt\n", 11), false, false, "TOPIC "},
                           Row{"TOPIC=pl\tant\n", false, false, "TOPIC "},
                           Row{"DISCOVERY=HomeAssistant\n", true, false, "", true},
                           Row{"DISCOVERY=\n", true, false, ""},
                           Row{"DISCOVERY=hass\nTLS=on\n" + password, true, true, "DISCOVERY=hass: "},
                           Row{"DISCOVERY=homeassistant\nTLS=maybe\n", false, false, "TLS=maybe: "}}) {
        SCOPED_TRACE(row.lines);
        Put("[MQTT]\nHOST=broker\n" + row.lines);
        std::string problem;
        const std::optional<MqttSettings> s = ReadMqttSettings(TIniFile(path_), "box", "zaritmon-station", &problem);
        ASSERT_EQ(s.has_value(), row.published) << problem;
        EXPECT_EQ(problem.empty(), *row.problem == '\0') << problem;
        EXPECT_EQ(problem.rfind(row.problem, 0), 0u) << problem;
        if (!s)
            continue;
        EXPECT_EQ(s->tls, row.tls);
        EXPECT_EQ(s->password, row.tls ? "secret" : "");
        EXPECT_EQ(s->clientId, "zaritmon-station-box");
        EXPECT_EQ(s->homeAssistant, row.homeAssistant);
    }
}

TEST_F(IniTest, WriteCreatesFileSectionAndKey)
{
    const TIniFile ini(path_);
    ASSERT_TRUE(ini.WriteString("Config", "PORT", "COM2"));
    ASSERT_TRUE(ini.WriteString("Config", "SPEED", "9600"));
    EXPECT_EQ(Get(), "[Config]\r\nPORT=COM2\r\nSPEED=9600\r\n");
    EXPECT_EQ(ini.ReadString("Config", "PORT", ""), "COM2");
}

TEST_F(IniTest, WriteKeepsEveryOtherLineInItsPlace)
{
    Put("; top comment\r\n[Config]\r\nNETADDRESS=5\r\n; about the port\r\nport = COM7\r\n"
        "custom=keep me\r\n\r\n[Other]\r\nPORT=untouched\r\n");
    const TIniFile ini(path_);
    ASSERT_TRUE(ini.WriteString("Config", "PORT", "COM1"));
    ASSERT_TRUE(ini.WriteString("Config", "SPEED", "19200"));
    ASSERT_TRUE(ini.WriteString("Config", "RESPONSETIMEOUT", "abc"));
    ASSERT_TRUE(ini.WriteString("Config", "REFRESHINTERVAL", ""));
    EXPECT_EQ(Get(),
              "; top comment\r\n[Config]\r\nNETADDRESS=5\r\n; about the port\r\nPORT=COM1\r\n"
              "custom=keep me\r\nSPEED=19200\r\nRESPONSETIMEOUT=abc\r\nREFRESHINTERVAL=\r\n\r\n"
              "[Other]\r\nPORT=untouched\r\n");
    const LinkConfig c = ReadLinkConfig(ini);
    EXPECT_EQ(c.SlaveAddress(), 5);
    EXPECT_EQ(c.responseTimeout, 1000);
    EXPECT_EQ(c.refreshInterval, 1000);
}

TEST_F(IniTest, WriteKeepsLineEndsBomAndAFinalLineWithoutEnd)
{
    Put("\xEF\xBB\xBF[Config]\nPORT=COM4");
    const TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("Config", "PORT", ""), "COM4");
    ASSERT_TRUE(ini.WriteString("Config", "SPEED", "38400"));
    EXPECT_EQ(Get(), "\xEF\xBB\xBF[Config]\nPORT=COM4\nSPEED=38400\n");

    Put("[Config]\rPORT=COM4\r[Next]\rA=1\r");
    ASSERT_TRUE(ini.WriteString("config", "SPEED", "1"));
    EXPECT_EQ(Get(), "[Config]\rPORT=COM4\rSPEED=1\r[Next]\rA=1\r");

    // Mixed endings: a CR-ended new line before an empty LF-ended line must
    // not merge with it into one break.
    Put("[Config]\rPORT=1\n\n[Next]\r");
    ASSERT_TRUE(ini.WriteString("Config", "SPEED", "2"));
    EXPECT_EQ(Get(), "[Config]\rPORT=1\nSPEED=2\r\n\n[Next]\r");

    Put("[Other]\r\nX=1");
    ASSERT_TRUE(ini.WriteString("Config", "PORT", "COM1"));
    EXPECT_EQ(Get(), "[Other]\r\nX=1\r\n[Config]\r\nPORT=COM1\r\n");
}

TEST_F(IniTest, HostileFilesGiveDefaultsOrTheirValuesAndSurviveAWrite)
{
    std::string huge = "[Config]\r\nNOTE=" + std::string(1 << 20, 'x') + "\r\nPORT=COM5\r\n";
    huge += std::string("JUNK=\0\0\xFF\xFE", 9) + "\r\nSPEED=99999999999\r\nNETADDRESS=-2147483649\r\n";
    Put(huge);
    const TIniFile ini(path_);
    LinkConfig c = ReadLinkConfig(ini);
    EXPECT_EQ(c.port, "COM5");
    EXPECT_EQ(c.speed, 9600);
    EXPECT_EQ(c.SlaveAddress(), 1);
    ASSERT_TRUE(ini.WriteString("Config", "SPEED", "19200"));
    const std::string after = Get();
    EXPECT_EQ(after.size(), huge.size() - std::string("99999999999").size() + 5);
    EXPECT_NE(after.find(std::string("JUNK=\0\0\xFF\xFE", 9)), std::string::npos) << "NUL bytes kept";
    EXPECT_EQ(ReadLinkConfig(ini).speed, 19200);
}

TEST_F(IniTest, FailedWriteReportsAndLeavesTheFile)
{
    const TIniFile inMissingFolder((dir_ / "no" / "such" / "ZaritMon.ini").string());
    EXPECT_FALSE(inMissingFolder.WriteString("Config", "PORT", "COM1"));
    fs::create_directories(path_);  // a folder where the file should be
    EXPECT_FALSE(TIniFile(path_).WriteString("Config", "PORT", "COM1"));
    EXPECT_TRUE(fs::is_directory(path_));
    EXPECT_EQ(TIniFile(path_).ReadString("Config", "PORT", "COM1"), "COM1");
}

} // namespace

// [Gateway] WRITERS: each address or network lets its clients write, IPv4
// ones also when they come through an IPv6 socket; an entry that is neither
// is told and allows nobody.
TEST_F(IniTest, GatewayWritersAreTheAddressesAndNetworksListed)
{
    Put("[Gateway]\nLISTEN=0.0.0.0:502\nWRITERS=10.0.0.5, 10.0.1.0/24,fd00::/8 , 10.0.0.0/33, gw.local,\nIDLE=0\n");
    std::vector<std::string> problems;
    const gateway::Settings s = gateway::ReadSettings(TIniFile(path_), problems);
    EXPECT_EQ(s.listen, "0.0.0.0:502");
    EXPECT_EQ(s.idleSeconds, 60);
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[0].rfind("WRITERS: «10.0.0.0/33»", 0), 0u) << problems[0];
    const auto v6 = [](const char* text) {
        std::array<uint8_t, 16> a{};
        inet_pton(AF_INET6, text, a.data());
        return a;
    };
    for (const auto& [client, allowed] : std::vector<std::pair<const char*, bool>>{
             {"::ffff:10.0.0.5", true}, {"::ffff:10.0.0.6", false}, {"::ffff:10.0.1.200", true},
             {"::ffff:10.0.2.1", false}, {"fd12::1", true}, {"fe80::1", false}, {"::a00:5", false}}) {
        EXPECT_EQ(gateway::Allowed(s.writers, v6(client)), allowed) << client;
    }
}
