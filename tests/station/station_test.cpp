// zaritmon-station as a service runs it: a child process on the simulator's
// line, told to stop by signals.

#include "Cp1251.h"
#include "MosquittoBroker.h"
#include "SimProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <iterator>
#include <sstream>
#include <thread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string Read(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The station on the simulator's line with this configuration (Windows-1251
// bytes, after PORT), its state in the simulator's folder.
SimProcess::Program StationProgram(const SimProcess& sim, const std::string& config)
{
    const fs::path ini = fs::path(sim.Directory()) / "ZaritMon.ini";
    std::ofstream(ini, std::ios::binary) << "[Config]\r\nPORT=" << sim.Link() << "\r\n" << config;
    return {STATION_PATH, {"--config", ini.string(), "--state", sim.Directory()}};
}

// Two relays and an address nobody answers: the trip of relay 2 and the
// silence of 9 are told and filed, and SIGTERM ends it cleanly.
TEST(Station, PollsTheLineFilesItsEventsAndStopsOnSigterm)
{
    SimProcess sim({"--units", "1,2", "--fault-at", "2:0.5", "--speed", "38400", "--noise", "0"});
    ASSERT_TRUE(sim.WaitForLink());
    // "2=Фидер 2" in Windows-1251.
    SimProcess station(StationProgram(sim, "SPEED=38400\r\nREFRESHINTERVAL=0\r\n[Relays]\r\n1=\r\n"
                                           "2=\xD4\xE8\xE4\xE5\xF0 2\r\n9=\r\n"));
    EXPECT_TRUE(station.WaitForOutput("Фидер 2 (адрес 2): Сработало I> (МТЗ) — вкл", 15s)) << station.Output();
    EXPECT_TRUE(station.WaitForOutput("адрес 9: Связь — нет ответа", 15s)) << station.Output();
    const SimProcess::Exit exit = station.Stop(SIGTERM, 10s);
    EXPECT_TRUE(exit.exited) << exit.signal;
    EXPECT_EQ(exit.status, 0);
    EXPECT_NE(station.Output().find("остановлено"), std::string::npos) << station.Output();
    EXPECT_EQ(station.Output().find("адрес 1: Сработало"), std::string::npos) << station.Output();

    const fs::path journal = fs::path(sim.Directory()) / "journal";
    std::string events, frames;
    for (const auto& entry : fs::directory_iterator(journal))
        (entry.path().filename().string().starts_with("ZaritMon-events-") ? events : frames) += Read(entry.path());
    // "Сработало I> (МТЗ);вкл" and the relay last, in Windows-1251.
    EXPECT_NE(events.find(";\xD1\xF0\xE0\xE1\xEE\xF2\xE0\xEB\xEE I> (\xCC\xD2\xC7);\xE2\xEA\xEB;"), std::string::npos);
    EXPECT_NE(events.find(";\xD4\xE8\xE4\xE5\xF0 2 (\xE0\xE4\xF0\xE5\xF1 2)\r\n"), std::string::npos);
    EXPECT_NE(frames.find("09 03 00 00 00 2E"), std::string::npos) << "every request in the journal";
}

// A stop writes the journal out, which a hung disk never lets it finish (a
// FIFO nobody reads stands for one); a second SIGTERM does not wait for it.
TEST(Station, ASecondSigtermDoesNotWait)
{
    SimProcess sim({"--units", "1", "--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink());
    const fs::path journal = fs::path(sim.Directory()) / "journal";
    fs::create_directory(journal);
    for (int day = 0; day < 2; ++day) {  // today's file, and tomorrow's after midnight
        const std::time_t at = std::time(nullptr) + day * 86400;
        char name[40];
        std::strftime(name, sizeof name, "ZaritMon-%Y-%m-%d.log", std::localtime(&at));
        ASSERT_EQ(::mkfifo((journal / name).c_str(), 0600), 0);
    }
    SimProcess station(StationProgram(sim, "SPEED=38400\r\n"));
    // Once a poll was answered (its event is in the event file), its lines
    // wait for the journal.
    const auto polled = [&] {
        for (const auto& entry : fs::directory_iterator(journal))
            if (entry.is_regular_file() && std::count_if(std::istreambuf_iterator<char>(std::ifstream(entry.path()).rdbuf()), {},
                                                         [](char c) { return c == '\n'; }) >= 3)
                return true;
        return false;
    };
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!polled() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(polled()) << station.Output();
    station.SendSignal(SIGTERM);
    ASSERT_TRUE(station.WaitForOutput("остановка по SIGTERM", 10s)) << station.Output();
    const SimProcess::Exit exit = station.Stop(SIGTERM, 10s);
    EXPECT_EQ(exit.signal, SIGTERM) << station.Output();
}

// The events of a relay that trips and is acknowledged while the broker is
// away, from the station's very first start, with the station killed and
// started again meanwhile: both reach a subscriber once the broker is back,
// in order, each id once; the state is the relays' own.
TEST(StationMqtt, EventsOutliveTheBrokerAndTheStation)
{
    SimProcess sim({"--units", "1,2", "--speed", "38400", "--noise", "0"}, true);
    ASSERT_TRUE(sim.WaitForLink());
    MosquittoBroker broker(sim.Directory());
    ASSERT_TRUE(broker.Start()) << broker.Output();
    const std::string prefix = "zaritmon/test";
    SimProcess subscriber(SimProcess::Program{
        "/usr/bin/mosquitto_sub",
        {"-h", "127.0.0.1", "-p", broker.Port(), "-t", prefix + "/#", "-v", "-q", "1", "-c", "-i", "zaritmon-test"}});
    ASSERT_TRUE(broker.WaitForOutput(" as zaritmon-test ")) << broker.Output();
    broker.Stop();
    const std::string config = "SPEED=38400\r\nREFRESHINTERVAL=200\r\n[Relays]\r\n1=\r\n2=\r\n[MQTT]\r\nHOST=127.0.0.1\r\nPORT="
                               + broker.Port() + "\r\nTOPIC=" + prefix + "\r\n";
    auto station = std::make_unique<SimProcess>(StationProgram(sim, config));
    sim.SendKeys("2f\n");
    ASSERT_TRUE(station->WaitForOutput("адрес 2: Сработало I> (МТЗ) — вкл", 15s)) << station->Output();
    station->Stop(SIGKILL);
    station = std::make_unique<SimProcess>(StationProgram(sim, config));
    ASSERT_TRUE(station->WaitForOutput("адрес 2: Начальное состояние", 15s)) << station->Output();
    sim.SendKeys("2c\n2a\n");
    ASSERT_TRUE(station->WaitForOutput("адрес 2: Сработало I> (МТЗ) — откл", 15s)) << station->Output();
    ASSERT_TRUE(broker.Start()) << broker.Output();

    const std::string on = "\"what\":\"Сработало I> (МТЗ)\",\"state\":\"вкл\"";
    const std::string off = "\"what\":\"Сработало I> (МТЗ)\",\"state\":\"откл\"";
    ASSERT_TRUE(subscriber.WaitForOutput(off, 60s)) << subscriber.Output() << station->Output();
    const std::string events = subscriber.Output();
    const auto onAt = events.find(on);
    ASSERT_NE(onAt, std::string::npos) << events;
    EXPECT_LT(onAt, events.find(off));
    // A consumer drops a message whose id it has seen: one trip is left,
    // relay 2's.
    std::set<std::string> trips;
    std::istringstream lines(events);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(on) == std::string::npos)
            continue;
        EXPECT_TRUE(line.starts_with(prefix + "/2/event {")) << line;
        const auto id = line.find("\"id\":\"") + 6;
        trips.insert(line.substr(id, line.find('"', id) - id));
    }
    EXPECT_EQ(trips.size(), 1u) << events;

    ASSERT_TRUE(subscriber.WaitForOutput(prefix + "/2/state {", 15s)) << station->Output();
    EXPECT_TRUE(subscriber.WaitForOutput(prefix + "/status online", 5s)) << subscriber.Output();
    EXPECT_TRUE(subscriber.WaitForOutput(prefix + "/1/state {", 5s)) << subscriber.Output();
    const std::string output = subscriber.Output();
    EXPECT_NE(output.find("\"Ia\":2.50,", output.find(prefix + "/1/state {")), std::string::npos) << output;
    EXPECT_NE(output.find("\"name\":\"\",\"Ia\":2.00,\"Ib\":2.00"), std::string::npos) << output;
    EXPECT_TRUE(subscriber.WaitForOutput(prefix + "/2/setpoints {", 5s)) << output;
    EXPECT_NE(subscriber.Output().find(",\"setpoints\":[{\"register\":6,"), std::string::npos) << output;
}

// An event the broker refuses (an ACL) is told and stays undelivered: once
// the broker allows it, it arrives.
TEST(StationMqtt, AnEventTheBrokerRefusesIsNotDelivered)
{
    SimProcess sim({"--units", "1", "--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink());
    const std::string prefix = "zaritmon/acl";
    const std::string acl = sim.Directory() + "/acl";
    std::ofstream(acl) << "topic readwrite " << prefix << "/status\ntopic readwrite " << prefix
                       << "/+/state\ntopic readwrite " << prefix << "/+/setpoints\ntopic read " << prefix << "/#\n";
    MosquittoBroker broker(sim.Directory(), "allow_anonymous true\nacl_file " + acl + "\n");
    ASSERT_TRUE(broker.Start()) << broker.Output();
    SimProcess subscriber(SimProcess::Program{
        "/usr/bin/mosquitto_sub",
        {"-h", "127.0.0.1", "-p", broker.Port(), "-t", prefix + "/#", "-v", "-q", "1", "-c", "-i", "zaritmon-acl"}});
    ASSERT_TRUE(broker.WaitForOutput(" as zaritmon-acl ")) << broker.Output();
    // Both events in the files before the station first reaches the broker,
    // so that both are refused: after a refusal the rest wait a minute. The
    // subscriber's session keeps what would reach it meanwhile.
    broker.Stop();
    SimProcess station(StationProgram(sim, "SPEED=38400\r\n[MQTT]\r\nHOST=127.0.0.1\r\nPORT=" + broker.Port()
                                               + "\r\nTOPIC=" + prefix + "\r\n"));
    ASSERT_TRUE(station.WaitForOutput("адрес 1: Начальное состояние", 15s)) << station.Output();
    ASSERT_TRUE(broker.Start()) << broker.Output();
    ASSERT_TRUE(station.WaitForOutput("MQTT: брокер отклонил событие ", 15s)) << station.Output();
    EXPECT_TRUE(station.WaitForOutput(prefix + "/1/event: Not authorized", 15s)) << station.Output();
    EXPECT_EQ(subscriber.Output().find("/event "), std::string::npos) << subscriber.Output();

    broker.Stop();
    std::ofstream(acl) << "topic readwrite " << prefix << "/#\n";
    ASSERT_TRUE(broker.Start()) << broker.Output();
    EXPECT_TRUE(subscriber.WaitForOutput("\"what\":\"Начальное состояние\"", 60s))
        << subscriber.Output() << station.Output();
}

// A wrong password, and TLS with a certificate of another CA: each told,
// polling going on; TLS with the broker's own CA connects.
TEST(StationMqtt, RefusalsAreToldAndPollingGoesOn)
{
    SimProcess sim({"--units", "1", "--speed", "38400"});
    ASSERT_TRUE(sim.WaitForLink());
    const std::string d = sim.Directory();
    // A CA and the broker's certificate for 127.0.0.1, and a CA of nobody's.
    std::ofstream(d + "/san.ext") << "subjectAltName=IP:127.0.0.1\n";
    const std::string make =
        "cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=test-ca -keyout ca.key -out ca.crt"
        " && openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=other-ca -keyout other.key -out other.crt"
        " && openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr"
        " && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 1 -extfile san.ext"
        " -out server.crt && mosquitto_passwd -b -c passwords station right && echo wrong > wrong && echo right > right"
        " && chmod 0644 *"
        " >/dev/null 2>&1";
    ASSERT_EQ(std::system((make + " >/dev/null 2>&1").c_str()), 0);
    const std::string tls = "cafile " + d + "/ca.crt\ncertfile " + d + "/server.crt\nkeyfile " + d
                            + "/server.key\nallow_anonymous true\n";
    int brokers = 0;
    struct Row {
        const char* name;
        std::string broker;   // its configuration after the listener
        std::string station;  // [MQTT] after HOST and PORT
        const char* told;
    };
    const std::string passwords = "allow_anonymous false\npassword_file " + d + "/passwords\n";
    for (const Row& row : {Row{"wrong password", passwords, "USERNAME=station\r\nPASSWORDFILE=" + d + "/wrong\r\n",
                               "MQTT: соединение с брокером отклонено"},
                           // Never the password in plain text instead.
                           Row{"TLS, no CA file", passwords,
                               "TLS=on\r\nCAFILE=" + d + "/none.crt\r\nUSERNAME=station\r\nPASSWORDFILE=" + d
                                   + "/right\r\n",
                               "MQTT: TLS не настроен: файл CA"},
                           Row{"TLS, the broker's CA", tls, "TLS=on\r\nCAFILE=" + d + "/ca.crt\r\n",
                               "MQTT: соединение с брокером есть"},
                           Row{"TLS, another CA", tls, "TLS=on\r\nCAFILE=" + d + "/other.crt\r\n",
                               "MQTT: нет соединения с брокером"}}) {
        SCOPED_TRACE(row.name);
        const std::string folder = d + "/broker-" + std::to_string(++brokers);
        fs::create_directory(folder);
        MosquittoBroker broker(folder, row.broker);
        ASSERT_TRUE(broker.Start()) << broker.Output();
        SimProcess station(StationProgram(sim, "SPEED=38400\r\n[MQTT]\r\nHOST=127.0.0.1\r\nPORT=" + broker.Port()
                                                   + "\r\n" + row.station));
        EXPECT_TRUE(station.WaitForOutput(row.told, 15s)) << station.Output();
        EXPECT_TRUE(station.WaitForOutput("адрес 1: Начальное состояние", 15s)) << station.Output();
        const SimProcess::Exit exit = station.Stop(SIGTERM, 10s);
        EXPECT_TRUE(exit.exited && exit.status == 0) << station.Output();
        broker.Stop();
        // The user "station" never got in: not with a wrong password, nor
        // in plain text for a TLS that could not be set up.
        EXPECT_EQ(broker.Output().find("u'station'"), std::string::npos) << broker.Output();
    }
}


// DISCOVERY=homeassistant: each relay's entities announced, retained, with
// templates that find their values in the relay's own state; again when Home
// Assistant says "online"; a relay taken off [Relays] taken back.
TEST(StationMqtt, AnnouncesTheRelaysToHomeAssistant)
{
    SimProcess sim({"--units", "1,2", "--speed", "38400", "--noise", "0"});
    ASSERT_TRUE(sim.WaitForLink());
    MosquittoBroker broker(sim.Directory());
    ASSERT_TRUE(broker.Start()) << broker.Output();
    const std::string prefix = "zaritmon/ha";
    const auto subscriber = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"-h", "127.0.0.1", "-p", broker.Port(), "-t", "homeassistant/#"});
        return std::make_unique<SimProcess>(SimProcess::Program{"/usr/bin/mosquitto_sub", arguments});
    };
    const auto publish = [&](const std::string& topic, const std::string& payload) {
        SimProcess publisher(SimProcess::Program{
            "/usr/bin/mosquitto_pub", {"-h", "127.0.0.1", "-p", broker.Port(), "-t", topic, "-m", payload}});
        EXPECT_EQ(publisher.Wait(10s).status, 0) << publisher.Output();
    };
    // The ids are the client id's, made fit for Home Assistant.
    const auto topics = [](int address) {
        std::vector<std::string> all;
        for (const char* key : {"ia", "ib", "ic", "3io", "lasttrip"})
            all.push_back("homeassistant/sensor/station_ha-7_" + std::to_string(address) + "_" + key + "/config");
        for (const char* kind : {"led", "input"})
            for (int i = 1; i <= (kind[0] == 'l' ? 8 : 4); ++i)
                all.push_back("homeassistant/binary_sensor/station_ha-7_" + std::to_string(address) + "_" + kind
                              + std::to_string(i) + "/config");
        return all;
    };
    // What a subscriber arriving now gets retained: it ends at a message of
    // ours published after it subscribed.
    const auto retained = [&] {
        auto late = subscriber({"-F", "%t", "--retained-only"});
        EXPECT_TRUE(late->WaitForOutput(topics(1)[0], 10s)) << late->Output();
        publish("homeassistant/zaritmon-test", "end");
        EXPECT_TRUE(late->Wait(10s).exited);
        return late->Output();
    };
    auto watcher = subscriber({"-t", prefix + "/1/state", "-F", "%r %t %p"});
    // "2=Фидер 2" in Windows-1251.
    const std::string config = "SPEED=38400\r\nREFRESHINTERVAL=200\r\n[MQTT]\r\nHOST=127.0.0.1\r\nPORT=" + broker.Port()
                               + "\r\nTOPIC=" + prefix + "\r\nCLIENTID=station.ha-7\r\nDISCOVERY=homeassistant\r\n"
                                 "[Relays]\r\n1=\r\n";
    auto station = std::make_unique<SimProcess>(StationProgram(sim, config + "2=\xD4\xE8\xE4\xE5\xF0 2\r\n"));
    for (int address : {1, 2})
        for (const std::string& topic : topics(address))
            ASSERT_TRUE(watcher->WaitForOutput(" " + topic + " {", 15s)) << watcher->Output() << station->Output();
    ASSERT_TRUE(watcher->WaitForOutput(" " + prefix + "/1/state {\"time\":", 15s)) << watcher->Output();
    ASSERT_TRUE(watcher->WaitForOutput("\"inputs\":{", 15s)) << watcher->Output();

    std::map<std::string, QJsonObject> configs;
    QJsonObject state;
    std::istringstream lines(watcher->Output());
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.find(' ', 2);
        const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(line.substr(space + 1))).object();
        (line.substr(2, space - 2) == prefix + "/1/state" ? state : configs[line.substr(2, space - 2)]) = json;
    }
    ASSERT_FALSE(state.isEmpty()) << watcher->Output();
    std::set<QString> ids;
    const std::regex member(R"(value_json\['([^']*)'\](?:\['([^']*)'\])?)");
    for (int address : {1, 2}) {
        for (const std::string& topic : topics(address)) {
            SCOPED_TRACE(topic);
            const QJsonObject c = configs[topic];
            ids.insert(c["unique_id"].toString());
            EXPECT_EQ(c["state_topic"].toString().toStdString(), prefix + "/" + std::to_string(address) + "/state");
            EXPECT_EQ(c["availability_topic"].toString().toStdString(), prefix + "/status");
            EXPECT_EQ(c["payload_not_available"].toString(), "offline");
            EXPECT_EQ(c["device"]["identifiers"][0].toString().toStdString(),
                      "station_ha-7_" + std::to_string(address));
            EXPECT_EQ(c["device"]["sw_version"].toString().toStdString().rfind("zaritmon-station ", 0), 0u);
            const bool sensor = topic.find("/sensor/") != std::string::npos;
            EXPECT_EQ(c["unit_of_measurement"].toString(), sensor ? "A" : "");
            EXPECT_EQ(c["device_class"].toString(), sensor ? "current" : "");
            EXPECT_EQ(c["payload_on"].toString(), sensor ? "" : "ON");
            // What the template reads is in the state the relay publishes.
            const std::string value = c["value_template"].toString().toStdString();
            // The last member it reads is the value: a LED's after its group's.
            std::smatch found;
            for (auto m = std::sregex_iterator(value.begin(), value.end(), member); m != std::sregex_iterator(); ++m)
                found = *m;
            ASSERT_FALSE(found.empty()) << value;
            QJsonValue read = state[QString::fromStdString(found[1].str())];
            if (found[2].matched)
                read = read[QString::fromStdString(found[2].str())];
            EXPECT_TRUE(sensor ? read.isDouble() : read.isBool()) << value;
        }
    }
    EXPECT_EQ(ids.size(), 34u);
    EXPECT_EQ(configs[topics(2)[0]]["device"].toObject()["name"].toString().toStdString(), "Фидер 2 (адрес 2)");
    const std::string both = retained();
    for (int address : {1, 2})
        for (const std::string& topic : topics(address))
            EXPECT_NE(both.find(topic + "\n"), std::string::npos) << topic;

    // Home Assistant restarted: the configs again, as news (not retained)
    // to a subscriber that has had the retained ones.
    auto again = subscriber({"-F", "%r %t"});
    ASSERT_TRUE(again->WaitForOutput("1 " + topics(2).back() + "\n", 10s)) << again->Output();
    publish("homeassistant/status", "online");
    for (int address : {1, 2})
        for (const std::string& topic : topics(address))
            EXPECT_TRUE(again->WaitForOutput("0 " + topic + "\n", 10s)) << again->Output();

    // Relay 2 off the line: its entities go, relay 1's stay.
    EXPECT_EQ(station->Stop(SIGTERM, 10s).status, 0) << station->Output();
    station = std::make_unique<SimProcess>(StationProgram(sim, config));
    ASSERT_TRUE(station->WaitForOutput("MQTT: Home Assistant: объявления station_ha-7 адреса 2 сняты", 15s))
        << station->Output();
    EXPECT_TRUE(watcher->WaitForOutput("0 " + topics(2)[0] + " \n", 5s)) << watcher->Output();
    const std::string one = retained();
    for (const std::string& topic : topics(1))
        EXPECT_NE(one.find(topic + "\n"), std::string::npos) << topic;
    EXPECT_EQ(one.find("station_ha-7_2_"), std::string::npos) << one;
}
} // namespace

namespace {

// The port the station's gateway says it listens on, once it says so.
std::string GatewayPort(const SimProcess& station)
{
    const std::string said = "шлюз Modbus TCP слушает ";
    if (!station.WaitForOutput(said, 10s))
        return {};
    const std::string out = station.Output();
    const std::size_t end = out.find(';', out.find(said));
    const std::size_t colon = out.rfind(':', end);
    return out.substr(colon + 1, end - colon - 1);
}

// Relay 2's registers as the simulator serves them at start.
std::vector<int> SimRegisters(const std::vector<std::string>& options)
{
    std::vector<std::string> print = options;
    print.push_back("--print-registers");
    std::istringstream lines(SimProcess::RunToEnd(print).second);
    std::vector<int> values;
    bool relay2 = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("address "))
            relay2 = line == "address 2:";
        else if (relay2)
            values.push_back(std::stoi(line.substr(3)));
    }
    return values;
}

// A plain connection to the gateway, for bytes no Modbus library would send.
int Connect(const std::string& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    return fd;
}

// What the gateway does next to a connection: 0 when it closed it.
ssize_t Next(int fd)
{
    char byte = 0;
    return ::recv(fd, &byte, 1, 0);
}

} // namespace

// Masters nobody here wrote, through the station's gateway, while it polls:
// mbpoll and libmodbus read relay 2's registers as the simulator serves
// them; a write from a WRITERS address reaches relay 2 alone, one from
// elsewhere is refused with exception 1; a silent relay gives 0x0B, an
// address not on the line 0x0A; both writes are events.
TEST(StationGateway, ServesTheLineToOtherMastersAndLetsOnlyWritersWrite)
{
    const std::vector<std::string> options = {"--units", "1,2,3", "--speed", "38400", "--noise", "0", "--drop", "3:1/1"};
    const std::vector<int> expected = SimRegisters(options);
    ASSERT_EQ(expected.size(), 46u);
    SimProcess sim(options, true);
    ASSERT_TRUE(sim.WaitForLink());
    SimProcess station(StationProgram(sim, "SPEED=38400\r\nREFRESHINTERVAL=100\r\nRESPONSETIMEOUT=300\r\n"
                                           "[Relays]\r\n1=\r\n2=\r\n3=\r\n"
                                           "[Gateway]\r\nLISTEN=[::]:0\r\nWRITERS=192.0.2.0/24, 127.0.0.1\r\n"
                                           "MAXCLIENTS=2\r\n"));
    const std::string port = GatewayPort(station);
    ASSERT_FALSE(port.empty()) << station.Output();
    ASSERT_TRUE(station.WaitForOutput("адрес 3: Связь — нет ответа", 15s)) << station.Output();

    SimProcess mbpoll(SimProcess::Program{"/usr/bin/mbpoll",
                                          {"-1", "-0", "-a", "2", "-r", "0", "-c", "46", "-p", port, "127.0.0.1"}});
    EXPECT_TRUE(mbpoll.Wait(10s).exited);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_NE(mbpoll.Output().find("[" + std::to_string(i) + "]: \t" + std::to_string(expected[i]) + "\n"),
                  std::string::npos)
            << i << "\n" << mbpoll.Output();

    const auto client = [&](const char* host, int unit) {
        modbus_t* ctx = modbus_new_tcp_pi(host, port.c_str());
        modbus_set_slave(ctx, unit);
        modbus_set_response_timeout(ctx, 3, 0);
        EXPECT_EQ(modbus_connect(ctx), 0) << host;
        return std::unique_ptr<modbus_t, void (*)(modbus_t*)>(ctx, [](modbus_t* c) {
            modbus_close(c);
            modbus_free(c);
        });
    };
    uint16_t registers[46] = {};
    EXPECT_EQ(modbus_read_registers(client("127.0.0.1", 2).get(), 0, 46, registers), 46);
    EXPECT_EQ(std::vector<int>(registers, registers + 46), expected);
    EXPECT_EQ(modbus_write_bit(client("127.0.0.1", 2).get(), 0, 1), 1);
    EXPECT_TRUE(sim.WaitForOutput("address 2: acknowledged")) << sim.Output();
    errno = 0;
    EXPECT_EQ(modbus_write_bit(client("::1", 1).get(), 0, 1), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    EXPECT_EQ(modbus_read_registers(client("::1", 3).get(), 0, 46, registers), -1);
    EXPECT_EQ(errno, EMBXGTAR);
    EXPECT_EQ(modbus_read_registers(client("::1", 9).get(), 0, 46, registers), -1);
    EXPECT_EQ(errno, EMBXGPATH);

    // Past MAXCLIENTS a connection is closed at once; a header of another
    // protocol closes its own connection; the others are served.
    const uint8_t read[] = {0, 7, 0, 0, 0, 6, 2, 3, 0, 0, 0, 1};
    const uint8_t otherProtocol[] = {0, 8, 0, 1, 0, 6, 2, 3, 0, 0, 0, 1};
    const auto answered = [&](int fd) {
        uint8_t reply[11] = {};
        return ::send(fd, read, sizeof read, 0) == 12 && ::recv(fd, reply, sizeof reply, MSG_WAITALL) == 11;
    };
    const int bad = Connect(port);
    EXPECT_TRUE(answered(bad));
    const int kept = Connect(port);
    EXPECT_TRUE(answered(kept));
    const int third = Connect(port);
    EXPECT_EQ(Next(third), 0);
    EXPECT_EQ(::send(bad, otherProtocol, sizeof otherProtocol, 0), 12);
    EXPECT_EQ(Next(bad), 0);
    EXPECT_TRUE(answered(kept));
    for (int fd : {bad, kept, third})
        ::close(fd);

    EXPECT_EQ(station.Stop(SIGTERM, 10s).status, 0) << station.Output();
    EXPECT_EQ(sim.Output().find("address 1: acknowledged"), std::string::npos) << sim.Output();
    std::string events;
    for (const auto& entry : fs::directory_iterator(fs::path(sim.Directory()) / "journal"))
        if (entry.path().filename().string().starts_with("ZaritMon-events-"))
            events += Cp1251ToUtf8(Read(entry.path()));
    EXPECT_NE(events.find(";Квитирование от 127.0.0.1;ответ получен;"), std::string::npos) << events;
    EXPECT_NE(events.find(";запись отклонена: ::1;Квитирование;"), std::string::npos) << events;
}
