#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

class Publishing;
class QLabel;
class QStatusBar;
class TDeviceControl;
class TIniFile;
struct RelayList;

// The main window's publishing to the broker that [MQTT] names, made anew
// with each link, and its state in a panel of the status bar. The build
// decides whether it can publish at all (Publishing.h).
class WindowPublishing : public QObject {
    Q_OBJECT

public:
    // The panel stays hidden until [MQTT] names a broker or is wrong.
    explicit WindowPublishing(QStatusBar* bar);
    ~WindowPublishing() override;

    void Start(const TIniFile& ini, const RelayList& relays, int32_t intervalMs,
               std::optional<std::filesystem::path> eventFolder);
    void Stop();
    // What is due, from the window's own tick.
    void Tick(const TDeviceControl& poller, uint64_t eventsWritten);
    // The connection's last change, as the panel shows it.
    QString State() const;

signals:
    void failed(const QString& text);

private:
    QLabel* panel_;
    std::unique_ptr<Publishing> publisher_;
    bool unavailableTold_ = false;  // once a run
};
