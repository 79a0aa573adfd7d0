#pragma once

#include <QWidget>

#include <cstdint>

class QComboBox;
class TrendHistory;

// The phase currents and 3Io against time, from accepted polls only.
class TrendPlot : public QWidget {
    Q_OBJECT

public:
    explicit TrendPlot(const TrendHistory& history, QWidget* parent = nullptr);
    void SetSpanMinutes(int minutes);
    int SpanMinutes() const { return spanMinutes_; }
    // The time at the right edge; by default the wall clock.
    void SetNowMs(int64_t ms) { nowMs_ = ms; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const TrendHistory& history_;
    int spanMinutes_ = 10;
    int64_t nowMs_ = 0;
};

// "Тренды": the plot and the choice of its time span.
class TfrmTrends : public QWidget {
    Q_OBJECT

public:
    explicit TfrmTrends(const TrendHistory& history, QWidget* parent = nullptr);
    TrendPlot* Plot() const { return plot_; }

private:
    TrendPlot* plot_;
    QComboBox* cbSpan_;
};
