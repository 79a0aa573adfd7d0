#include "WindowPublishing.h"

#include "Cp1251.h"
#include "LinkConfig.h"
#include "Publishing.h"

#include <QLabel>
#include <QStatusBar>
#include <QSysInfo>

#include <algorithm>

// A child of the bar made before its panel, so that a publisher still
// running at the end never reports into a deleted panel.
WindowPublishing::WindowPublishing(QStatusBar* bar) : QObject(bar), panel_(new QLabel)
{
    panel_->setObjectName("MqttPanel");
    panel_->hide();
    bar->addWidget(panel_);
}

WindowPublishing::~WindowPublishing() = default;

void WindowPublishing::Start(const TIniFile& ini, const RelayList& relays, int32_t intervalMs,
                             std::optional<std::filesystem::path> eventFolder)
{
    std::string problem;
    const std::optional<MqttSettings> mqtt =
        ReadMqttSettings(ini, QSysInfo::machineHostName().toStdString(), "zaritmon", &problem);
    panel_->setVisible(mqtt.has_value() || !problem.empty());
    if (!mqtt) {
        if (!problem.empty()) {
            panel_->setText(QString::fromStdString("MQTT: " + problem));
            emit failed(QString::fromStdString("[MQTT] " + problem + "."));
        }
        return;
    }
    // Publishing goes on; what it leaves out is told.
    if (!problem.empty())
        emit failed(QString::fromStdString("[MQTT] " + problem + "."));
    std::string why;
    if (!Publishing::Available(&why)) {
        panel_->setText(QString::fromUtf8("MQTT: нет"));
        panel_->setToolTip(QString::fromStdString(why));
        if (!unavailableTold_)
            emit failed(QString::fromStdString("[MQTT] HOST=" + mqtt->host + ": " + why + "."));
        unavailableTold_ = true;
        return;
    }
    std::vector<Publishing::Relay> published;
    for (const RelayEntry& relay : relays.relays)
        published.push_back({relay.address, Cp1251ToUtf8(relay.name)});
    panel_->setText(QString::fromUtf8("MQTT: соединение…"));
    // The reports come from the window's own tick.
    publisher_ = std::make_unique<Publishing>(
        *mqtt, std::move(published), std::chrono::milliseconds(std::max(intervalMs, 0)), std::move(eventFolder),
        [this](const std::string& text) { panel_->setText(QString::fromStdString("MQTT: " + text)); });
}

void WindowPublishing::Stop()
{
    publisher_.reset();
}

void WindowPublishing::Tick(const TDeviceControl& poller, uint64_t eventsWritten)
{
    if (publisher_)
        publisher_->Tick(poller, eventsWritten);
}

QString WindowPublishing::State() const
{
    return panel_->text();
}
