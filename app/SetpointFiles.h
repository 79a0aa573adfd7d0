#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class RelayChoice;
class TDeviceControl;
struct LinkSettings;
struct SetpointSnapshot;

// The setpoint file commands, each on the relay the main window shows: a
// snapshot saved, a snapshot compared in the setpoint window, a report
// written. They work on setpoints read since polling last started.
class SetpointFiles : public QObject {
    Q_OBJECT

public:
    // The window is the dialogs' parent; poller gives the link's poll thread,
    // none while the link is rebuilt.
    SetpointFiles(QWidget* window, const RelayChoice& relays, std::function<const TDeviceControl*()> poller);

    // The line as a snapshot names it: the speed, or the network address.
    void SetLine(const LinkSettings& settings);
    // A snapshot belongs to its relay: showing another ends the comparison.
    void RelayShown(uint8_t address);

    // False, with the reason told, when not done. A snapshot of another
    // relay is compared only once the operator agrees (false until then).
    bool SaveTo(const QString& fileName);
    bool CompareWith(const QString& fileName);
    bool WriteReport(const QString& fileName);
    // The same with the file chosen in a dialog.
    void AskSave();
    void AskCompare();
    void AskReport();
    void ShowWindow();

signals:
    void failed(const QString& text);
    // A command done, in the events' words.
    void done(const std::string& what);

private:
    // The shown relay's setpoints as read since polling last started, or
    // none with *why.
    std::optional<SetpointSnapshot> ShownSetpoints(QString* why) const;
    bool ApplyComparison(SetpointSnapshot saved, const QString& fileName);

    QWidget* window_;
    const RelayChoice& relays_;
    std::function<const TDeviceControl*()> poller_;
    std::string line_;  // "9600 бит/с", or the network address
    std::optional<uint8_t> comparedRelay_;  // the address the comparison is of
};
