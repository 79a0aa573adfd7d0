#include "Station.h"

#include "Cp1251.h"
#include "DeviceLink.h"
#include "ExchangeJournal.h"
#include "Gateway.h"
#include "LineOverview.h"
#include "LinkHealth.h"
#include "LinePublisher.h"
#include "LinkConfig.h"
#include "TIniFile.h"
#include "WebServer.h"

#include <chrono>
#include <optional>
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

Station::Station(const std::filesystem::path& config, const std::filesystem::path& stateDir, Say say,
                 std::function<void()> wake)
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
    settings.relays = PolledAddresses(list);
    for (const RelayEntry& relay : list.relays) {
        std::string name = Cp1251ToUtf8(relay.name);
        std::string caption = RelayCaption(name, relay.address);
        relays_.push_back({relay.address, std::move(name), std::move(caption), EventDetector(kSeparator)});
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
    if (wake)
        link_->Poller().SetPollListener(wake);

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
    const std::optional<MqttSettings> mqtt = ReadMqttSettings(ini, HostName(), "zaritmon-station", &mqttProblem);
    if (!mqttProblem.empty())
        say_("MQTT: " + mqttProblem);
    if (mqtt) {
        if (!journal_)
            say_("MQTT: события не публикуются: без JOURNALDIR им не из чего доставляться");
        say_("MQTT: публикация на " + mqtt->host + ":" + std::to_string(mqtt->port) + " в " + mqtt->prefix + "/");
        std::vector<LinePublisher::Relay> published;
        for (const Relay& relay : relays_)
            published.push_back({relay.address, relay.name});
        publisher_ = std::make_unique<LinePublisher>(
            *mqtt, std::move(published), std::chrono::milliseconds(std::max(settings.pollIntervalMs, 0)),
            journal_ ? std::optional<std::filesystem::path>(journal_->Folder()) : std::nullopt,
            "zaritmon-station " ZARIT_VERSION, [this](const std::string& text) { say_("MQTT: " + text); }, wake);
    }

    std::vector<std::string> gatewayProblems;
    const gateway::Settings gatewaySettings = gateway::ReadSettings(ini, gatewayProblems);
    for (const std::string& problem : gatewayProblems)
        say_("шлюз: " + problem);
    if (!gatewaySettings.listen.empty()) {
        std::vector<Gateway::Relay> served;
        for (const Relay& relay : relays_)
            served.push_back({relay.address, relay.caption});
        gateway_ = std::make_unique<Gateway>(gatewaySettings, link_->Poller(), std::move(served),
                                             settings.responseTimeoutMs, settings.pollIntervalMs,
                                             DeviceLink::kRegisterCount, say_, wake);
    }

    std::vector<std::string> webProblems;
    const web::Settings webSettings = web::ReadSettings(ini, webProblems);
    for (const std::string& problem : webProblems)
        say_("веб: " + problem);
    if (!webSettings.listen.empty()) {
        std::vector<uint8_t> units;
        for (const Relay& relay : relays_)
            units.push_back(relay.address);
        web_ = std::make_unique<WebServer>(
            webSettings, "zaritmon-station " ZARIT_VERSION, std::move(units),
            journal_ ? std::optional<std::filesystem::path>(journal_->Folder()) : std::nullopt, say_);
        if (!web_->Serving())
            web_.reset();
        else
            web_->Show(View());
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
    if (web_)
        web_->AddEvent(event);
    const bool tell = event.kind == EventKind::Link || event.kind == EventKind::Trip;
    if (tell && !event.relay.empty())
        say_(event.relay + ": " + event.what + (event.state.empty() ? "" : " — " + event.state));
}

Station::Clock::time_point Station::Tick()
{
    const Clock::time_point now = Clock::now();
    if (stopped_)
        return Clock::time_point::max();
    events_.WriteHeld();
    if (gateway_)
        for (const Event& event : gateway_->TakeEvents())
            Add(event);
    const std::vector<PollSample> samples = link_->Poller().TakeSamples();
    for (const PollSample& sample : samples) {
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
    Clock::time_point due = now + kHousekeeping;
    // Losses held back by TellFiles' minute.
    if (events_.Lost() > toldLost_)
        due = std::min(due, toldLostAt_ + std::chrono::minutes(1));
    if (publisher_) {
        publisher_->Tick(link_->Poller(), events_.Written());
        due = std::min(due, publisher_->Due());
    }
    if (web_) {
        web_->AddPolls(samples);
        // Each poll, and once a second for the times the page shows.
        if (!samples.empty() || now - shownAt_ >= kHousekeeping) {
            web_->Show(View());
            shownAt_ = now;
        }
    }
    return due;
}

web::LineView Station::View()
{
    web::LineView view;
    view.at = std::chrono::system_clock::now();
    view.port = link_->Port().PortName();
    const PortProblem problem = link_->Port().Problem();
    if (problem.kind != PortProblem::Kind::None)
        view.portProblem = PortNotOpenText(view.port, problem, {});
    const TDeviceControl& poller = link_->Poller();
    for (std::size_t unit = 0; unit < relays_.size() && unit < poller.UnitCount(); ++unit) {
        web::RelayView relay{relays_[unit].address, relays_[unit].name, relays_[unit].caption, {}, {}};
        // The counts first: a poll answered in between then shows as the
        // next view's, never as an answer without its registers.
        relay.stats = poller.Stats(unit);
        poller.LastAnswer(unit, relay.registers);
        view.relays.push_back(std::move(relay));
    }
    if (publisher_) {
        view.mqttConnected = publisher_->Connected();
        // Counting means reading the files' unacknowledged tails.
        if (Clock::now() - undeliveredAt_ >= std::chrono::seconds(5)) {
            undelivered_ = publisher_->Undelivered();
            undeliveredAt_ = Clock::now();
        }
        if (journal_)
            view.eventsUndelivered = undelivered_;
    }
    if (gateway_) {
        view.gatewayClients = gateway_->Clients();
        view.gatewayRequests = gateway_->Requests();
    }
    return view;
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
    const auto now = std::chrono::steady_clock::now();
    const std::string held = std::to_string(EventLog::kMaxEvents);
    if (events_.Failures() > toldEventFailures_) {
        toldEventFailures_ = events_.Failures();
        toldEventsFailing_ = true;
        say_("события не записываются в файл: " + events_.Error() + "; последние " + held + " ждут в памяти");
    }
    // Past what memory holds the oldest go: told with their count, at most
    // once a minute while it lasts.
    if (events_.Lost() > toldLost_ && now - toldLostAt_ >= std::chrono::minutes(1)) {
        toldLost_ = events_.Lost();
        toldLostAt_ = now;
        say_("события не записываются в файл: в памяти только последние " + held + ", потеряно "
             + std::to_string(toldLost_));
    }
    if (toldEventsFailing_ && !events_.Failing()) {
        toldEventsFailing_ = false;
        say_("события снова записываются в файл"
             + (events_.Lost() ? "; потеряно всего " + std::to_string(events_.Lost()) : std::string()));
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
    if (gateway_)
        gateway_->Stop();  // while polling, so that a write at the line ends
    link_->Poller().StopPolling();
    Tick();  // the last polls: a trip among them is an event too
    stopped_ = true;
    Add({std::chrono::system_clock::now(), EventKind::Operator, "Остановить опрос", {}, std::nullopt});
    gateway_.reset();
    web_.reset();
    link_.reset();
    const bool written = !journal_ || journal_->Flush();
    say_(written ? "остановлено" : "остановлено; журнал записан не весь");
    return written;
}
