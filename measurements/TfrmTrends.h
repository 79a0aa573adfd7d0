#pragma once

#include <QWidget>

#include <cstdint>
#include <string>

class QComboBox;
class TrendHistory;

// The phase currents and 3Io against time, from accepted polls only.
class TrendPlot : public QWidget {
    Q_OBJECT

public:
    explicit TrendPlot(const TrendHistory& history, QWidget* parent = nullptr);
    // Plots another history from now on; it must outlive the plot or the next call.
    void SetHistory(const TrendHistory& history);
    void SetSpanMinutes(int minutes);
    int SpanMinutes() const { return spanMinutes_; }
    // The time at the right edge; by default the wall clock.
    void SetNowMs(int64_t ms) { nowMs_ = ms; }
    // Repaints when the history has new points or the time axis has moved
    // by a pixel since the last paint, and not otherwise.
    void Follow(int64_t nowMs);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const TrendHistory* history_;
    int spanMinutes_ = 10;
    int64_t nowMs_ = 0;
    int64_t paintedAtMs_ = 0;     // the right edge of the last paint
    uint64_t paintedRevision_ = 0; // the history's revision then
};

// "Тренды": the plot and the choice of its time span.
class TfrmTrends : public QWidget {
    Q_OBJECT

public:
    explicit TfrmTrends(const TrendHistory& history, QWidget* parent = nullptr);
    TrendPlot* Plot() const { return plot_; }
    // The relay's history, and its name in the title (none: "Тренды" alone).
    void SetHistory(const TrendHistory& history, const std::string& relay);

private:
    TrendPlot* plot_;
    QComboBox* cbSpan_;
};
