#include "Station.h"

#include "Cp1251.h"
#include "DeviceLink.h"
#include "ExchangeJournal.h"
#include "LineOverview.h"
#include "LinkHealth.h"
#include "RelayRegisters.h"
#include "MqttPayloads.h"
#include "TIniFile.h"

#include <fstream>
#include <unistd.h>

namespace {

// The events' own decimal separator, as in a Russian locale's files.
constexpr const char* kSeparator = ",";

std::string HostName()
{
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
}

} // namespace

std::optional<MqttSettings> ReadMqttSettings(const TIniFile& ini, std::string* problem)
{
    constexpr const char* kSection = "MQTT";
    MqttSettings s;
    s.host = Cp1251ToUtf8(ini.ReadString(kSection, "HOST", ""));
    if (s.host.empty())
        return std::nullopt;
    std::string tls = ini.ReadString(kSection, "TLS", "off");
    for (char& c : tls)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.tls = tls == "on";
    s.port = ini.ReadInteger(kSection, "PORT", s.tls ? 8883 : 1883);
    s.caFile = Cp1251ToUtf8(ini.ReadString(kSection, "CAFILE", ""));
    s.username = Cp1251ToUtf8(ini.ReadString(kSection, "USERNAME", ""));
    const std::string passwordFile = Cp1251ToUtf8(ini.ReadString(kSection, "PASSWORDFILE", ""));
    if (!passwordFile.empty()) {
        std::ifstream in(passwordFile);
        if (!std::getline(in, s.password) && problem)
            *problem = "файл пароля " + passwordFile + " не прочитан";
        if (!s.password.empty() && s.password.back() == '\r')
            s.password.pop_back();
    }
    s.prefix = Cp1251ToUtf8(ini.ReadString(kSection, "TOPIC", ""));
    if (s.prefix.empty())
        s.prefix = "zaritmon/" + HostName();
    while (!s.prefix.empty() && s.prefix.back() == '/')
        s.prefix.pop_back();
    s.clientId = Cp1251ToUtf8(ini.ReadString(kSection, "CLIENTID", ""));
    if (s.clientId.empty())
        s.clientId = "zaritmon-" + HostName();
    return s;
}

Station::Station(const std::filesystem::path& config, const std::filesystem::path& stateDir, Say say)
    : say_(std::move(say)), events_(kSeparator)
{
    const TIniFile ini(config.string());
    const LinkConfig linkConfig = ReadLinkConfig(ini);
    std::string rs485Problem;
    LinkSettings settings = ToLinkSettings(linkConfig, &rs485Problem);
    if (!rs485Problem.empty())
        say_("параметр " + rs485Problem + "; направление RS-485 не переключается");
    // The file is Windows-1251; the system's file names are UTF-8.
    settings.portName = Cp1251ToUtf8(settings.portName);
    const RelayList list = ReadRelayList(ini, linkConfig.SlaveAddress());
    for (const std::string& problem : list.problems)
        say_("пропущено: " + problem);
    if (list.relays.size() > 1)
        for (const RelayEntry& relay : list.relays)
            settings.relays.push_back(relay.address);
    for (const RelayEntry& relay : list.relays) {
        const std::string name = Cp1251ToUtf8(relay.name);
        relays_.push_back({relay, RelayCaption(name, relay.address), EventDetector(kSeparator)});
    }

    const LogConfig logConfig = ReadLogConfig(ini);
    if (!logConfig.journalDir.empty()) {
        std::filesystem::path folder = Cp1251ToUtf8(logConfig.journalDir);
        if (folder.is_relative())
            folder = stateDir / folder;
        journal_ = std::make_unique<ExchangeJournal>(folder);
        events_.SetFolder(folder);
    }
    link_ = std::make_unique<DeviceLink>(settings, journal_.get());

    std::string line = "опрос на " + settings.portName + ", " + std::to_string(settings.speed) + " бит/с, интервал "
                       + std::to_string(settings.pollIntervalMs) + " мс:";
    for (const Relay& relay : relays_)
        line += " " + relay.caption + ";";
    line.back() = '.';
    say_(line);
    if (!link_->PortError().empty())
        say_("порт «" + settings.portName + "» не открыт: " + link_->PortError());
    if (journal_)
        say_("журнал и события: " + journal_->Folder().string());
    else
        say_("журнал не ведётся (JOURNALDIR пуст)");

    std::string mqttProblem;
    if (const std::optional<MqttSettings> mqtt = ReadMqttSettings(ini, &mqttProblem)) {
        if (!mqttProblem.empty())
            say_("MQTT: " + mqttProblem);
        if (!journal_)
            say_("MQTT: события не публикуются: без JOURNALDIR им не из чего доставляться");
        else
            outbox_ = std::make_unique<EventOutbox>(journal_->Folder());
        say_("MQTT: публикация на " + mqtt->host + ":" + std::to_string(mqtt->port) + " в " + mqtt->prefix + "/");
        mqtt_ = std::make_unique<MqttClient>(*mqtt);
        stateEvery_ = std::chrono::milliseconds(std::max(settings.pollIntervalMs, 0));
        publishedStates_.resize(relays_.size());
        publishedAt_.resize(relays_.size());
    }

    Add({std::chrono::system_clock::now(), EventKind::Operator, "Начать опрос", {}, std::nullopt});
    link_->Poller().StartPolling();
}

Station::~Station()
{
    Stop();
}

void Station::Add(const Event& event)
{
    events_.Add(event);
    const bool tell = event.kind == EventKind::Link || event.kind == EventKind::Trip;
    if (tell && !event.relay.empty())
        say_(event.relay + ": " + event.what + (event.state.empty() ? "" : " — " + event.state));
}

void Station::Tick()
{
    if (stopped_)
        return;
    events_.WriteHeld();
    for (const PollSample& sample : link_->Poller().TakeSamples()) {
        Relay& relay = relays_[std::min(sample.unit, relays_.size() - 1)];
        for (Event event : relay.detector.OnPoll(sample)) {
            event.relay = relay.caption;
            Add(event);
        }
    }
    ExchangeLog& log = link_->Log();
    if (log.Count() > kMaxLogLines)
        log.Clear();
    TellPort();
    TellFiles();
    if (mqtt_)
        Publish();
}

void Station::Publish()
{
    for (const std::string& report : mqtt_->TakeReports())
        say_("MQTT: " + report);
    const std::vector<int> acknowledged = mqtt_->TakeAcknowledged();
    for (InFlight& message : inFlight_)
        if (std::find(acknowledged.begin(), acknowledged.end(), message.mid) != acknowledged.end())
            message.acknowledged = true;
    // In order: an event counts as delivered once every one before it is.
    std::optional<EventOutbox::Position> upTo;
    while (!inFlight_.empty() && inFlight_.front().acknowledged) {
        upTo = inFlight_.front().after;
        inFlight_.pop_front();
    }
    if (upTo && !outbox_->Delivered(*upTo))
        say_("MQTT: не записано, какие события доставлены: " + outbox_->RecordFile().string());
    if (!mqtt_->Connected())
        return;
    if (mqtt_->Connections() != seenConnections_) {
        // A new connection: the state afresh, and the events from the last
        // one acknowledged (the broker may have lost those in flight).
        seenConnections_ = mqtt_->Connections();
        std::fill(publishedStates_.begin(), publishedStates_.end(), std::string());
        inFlight_.clear();
        if (outbox_)
            outbox_->Rewind();
    }

    const auto now = Clock::now();
    const TDeviceControl& poller = link_->Poller();
    for (std::size_t unit = 0; unit < relays_.size() && unit < poller.UnitCount(); ++unit) {
        const Relay& relay = relays_[unit];
        std::string state = StateJson(relay.entry.address, Cp1251ToUtf8(relay.entry.name), poller.Image(unit),
                                      poller.Stats(unit));
        if (state == publishedStates_[unit] || (!publishedStates_[unit].empty() && now - publishedAt_[unit] < stateEvery_))
            continue;
        const std::string topic = mqtt_->Prefix() + "/" + std::to_string(relay.entry.address) + "/state";
        // The values' own time: when the relay last answered.
        const PollStats stats = poller.Stats(unit);
        const auto at = stats.answered ? stats.lastAnswerAt : std::chrono::system_clock::now();
        if (mqtt_->Publish(topic, WithTime(state, at), 0, true) >= 0) {
            publishedStates_[unit] = std::move(state);
            publishedAt_[unit] = now;
        }
    }

    while (outbox_ && inFlight_.size() < kMaxInFlight) {
        std::optional<EventOutbox::Item> item = outbox_->Next();
        if (!item)
            break;
        const std::string topic = mqtt_->Prefix()
                                  + (item->message.address ? "/" + std::to_string(item->message.address) : std::string())
                                  + "/event";
        const int mid = mqtt_->Publish(topic, item->message.json, 1, false);
        if (mid < 0) {
            outbox_->Rewind();
            inFlight_.clear();
            break;
        }
        inFlight_.push_back({mid, item->after});
    }
}

void Station::TellPort()
{
    const PortProblem problem = link_->Port().Problem();
    if (problem == toldProblem_)
        return;
    if (problem.kind == PortProblem::Kind::None)
        say_("порт " + link_->Port().PortName() + " открыт");
    else
        say_(PortNotOpenText(link_->Port().PortName(), problem, {}));
    toldProblem_ = problem;
}

void Station::TellFiles()
{
    if (events_.Failures() > toldEventFailures_) {
        toldEventFailures_ = events_.Failures();
        say_("события не записываются в файл: " + events_.Error() + "; они ждут в памяти");
    }
    if (!journal_)
        return;
    const ExchangeJournal::Health health = journal_->State();
    if (health.failures > toldJournalFailures_) {
        toldJournalFailures_ = health.failures;
        say_("журнал не записывается в " + journal_->Folder().string());
    }
    if (health.droppedLines > toldDropped_) {
        toldDropped_ = health.droppedLines;
        say_("журнал потерял строк: " + std::to_string(health.droppedLines));
    }
}

bool Station::Stop()
{
    if (stopped_)
        return true;
    link_->Poller().StopPolling();
    Tick();  // the last polls: a trip among them is an event too
    stopped_ = true;
    Add({std::chrono::system_clock::now(), EventKind::Operator, "Остановить опрос", {}, std::nullopt});
    link_.reset();
    const bool written = !journal_ || journal_->Flush();
    say_(written ? "остановлено" : "остановлено; журнал записан не весь");
    return written;
}
