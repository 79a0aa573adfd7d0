#pragma once

#include "EventDetector.h"
#include "EventLog.h"
#include "Recording.h"
#include "TrendHistory.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QWidget;
class TfrmEvents;
class TfrmTrends;
struct PollSample;

// A relay of the line as the operator knows it.
struct RelayName {
    uint8_t address = 1;
    std::string name;  // UTF-8; may be empty

    bool operator==(const RelayName&) const = default;
};

// What the monitor keeps of the polls beyond the display: the trend history
// with its window, the recording, and the events with their window and
// file, each relay's apart. The main window hands over each tick's polls and
// tells of the operator's commands.
class Measurements : public QObject {
    Q_OBJECT

public:
    // The trend window belongs to `window` and goes with it.
    explicit Measurements(QWidget* window);

    // The relays of the line in the poll thread's order (one, unnamed, until
    // told). A list unlike the last starts every relay's trends afresh and
    // stops a recording.
    void SetRelays(std::vector<RelayName> relays);
    // The relay the main window shows: the one the trends plot.
    void ShowRelay(std::size_t unit);
    std::size_t ShownRelay() const { return shown_; }

    // The polls since the last tick, into the trends and the recording
    // (accepted ones) and the events; the open windows follow them.
    void Take(const std::vector<PollSample>& samples);
    // Polling started by the operator: the next accepted poll is the
    // events' baseline.
    void PollingStarted();
    // A command of the operator, as an event now: of the whole line, or of
    // the relay shown.
    void OperatorEvent(const std::string& what, const std::string& state = {});
    void RelayCommandEvent(const std::string& what, const std::string& state);
    // Where the event files go: the exchange journal's folder; none: nowhere.
    void SetEventFolder(std::optional<std::filesystem::path> folder) { events_.SetFolder(std::move(folder)); }
    const EventLog& Events() const { return events_; }
    // Tries the events not yet in their file once more: how many still are
    // not, with those that left memory first.
    uint64_t WriteLastEvents()
    {
        events_.WriteHeld();
        return events_.Unwritten();
    }
    TfrmEvents* EventsWindow() const { return eventsForm_; }

    // Records every accepted poll to the file from now on, Windows-1251 with
    // a header line; with several relays, one file each, the address before
    // the extension ("run-2.csv"). False, with the reason in *error, when
    // one cannot be written (none is then kept).
    bool StartRecording(const QString& fileName, QString* error);
    // The files that exist already and a recording to this name would empty,
    // but the name itself.
    std::vector<std::filesystem::path> FilesToOverwrite(const QString& fileName) const;
    void StopRecording();
    // The first relay's recording: every relay's runs with it.
    const Recording& CurrentRecording() const { return relays_.front()->recording; }
    const TrendHistory& Trends() const { return relays_[shown_]->trends; }
    const TrendHistory& Trends(std::size_t unit) const { return relays_[unit]->trends; }
    TfrmTrends* TrendsWindow() const { return trendsForm_; }

signals:
    // The recording stopped itself: the file could not be written.
    void recordingFailed(const QString& message);
    // The event file could not be written; once each time it starts failing.
    void eventFileFailed(const QString& message);

private:
    struct Relay {
        Relay(RelayName id, const std::string& separator) : id(std::move(id)), detector(separator) {}
        RelayName id;
        TrendHistory trends;
        Recording recording;
        EventDetector detector;
    };

    std::vector<uint8_t> Addresses() const;
    void AddEvent(const Event& event);
    // The shown relay's trips and acknowledgements on the trends' time axis.
    void MarkTrends();

    std::vector<std::unique_ptr<Relay>> relays_;
    std::size_t shown_ = 0;
    TfrmTrends* trendsForm_;
    EventLog events_;
    TfrmEvents* eventsForm_;
    uint64_t reportedEventFailures_ = 0;
    uint64_t reportedLossIn_ = 0;  // the failure whose losses were told
    uint64_t reportedLost_ = 0;
    std::optional<std::pair<uint64_t, std::size_t>> marked_;  // the events and relay the marks are of
};
