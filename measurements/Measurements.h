#pragma once

#include "Recording.h"
#include "TrendHistory.h"

#include <QObject>
#include <QString>

#include <vector>

class QWidget;
class TfrmTrends;
struct PollSample;

// What the monitor keeps of the accepted polls beyond the display: the
// trend history with its window, and the recording. The main window hands
// over each tick's polls.
class Measurements : public QObject {
    Q_OBJECT

public:
    // The trend window belongs to `window` and goes with it.
    explicit Measurements(QWidget* window);

    // The accepted polls since the last tick, into the trends and the
    // recording; follows them in the trend window when it is open.
    void Take(const std::vector<PollSample>& samples);

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

private:
    TrendHistory trends_;
    Recording recording_;
    TfrmTrends* trendsForm_;
};
