#pragma once

#include "EventDetector.h"
#include "EventLog.h"
#include "Recording.h"
#include "TrendHistory.h"

#include <QObject>
#include <QString>

#include <vector>

class QWidget;
class TfrmEvents;
class TfrmTrends;
struct PollSample;

// What the monitor keeps of the polls beyond the display: the trend history
// with its window, the recording, and the events with their window and
// file. The main window hands over each tick's polls and tells of the
// operator's commands.
class Measurements : public QObject {
    Q_OBJECT

public:
    // The trend window belongs to `window` and goes with it.
    explicit Measurements(QWidget* window);

    // The polls since the last tick, into the trends and the recording
    // (accepted ones) and the events; the open windows follow them.
    void Take(const std::vector<PollSample>& samples);
    // Polling started by the operator: the next accepted poll is the
    // events' baseline.
    void PollingStarted();
    // A command of the operator, as an event now.
    void OperatorEvent(const std::string& what, const std::string& state = {});
    // Where the event files go: the exchange journal's folder; none: nowhere.
    void SetEventFolder(std::optional<std::filesystem::path> folder) { events_.SetFolder(std::move(folder)); }
    const EventLog& Events() const { return events_; }
    TfrmEvents* EventsWindow() const { return eventsForm_; }

    // Records every accepted poll to the file from now on, Windows-1251 with
    // a header line. False, with the reason in *error, when it cannot.
    bool StartRecording(const QString& fileName, QString* error);
    void StopRecording() { recording_.Stop(); }
    const Recording& CurrentRecording() const { return recording_; }
    const TrendHistory& Trends() const { return trends_; }
    TfrmTrends* TrendsWindow() const { return trendsForm_; }

signals:
    // The recording stopped itself: the file could not be written.
    void recordingFailed(const QString& message);
    // The event file could not be written; once each time it starts failing.
    void eventFileFailed(const QString& message);

private:
    void AddEvent(const Event& event);

    TrendHistory trends_;
    Recording recording_;
    TfrmTrends* trendsForm_;
    EventDetector detector_;
    EventLog events_;
    TfrmEvents* eventsForm_;
    uint64_t reportedEventFailures_ = 0;
};
