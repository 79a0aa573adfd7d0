#pragma once

#include "TrendGeometry.h"

#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class TrendHistory;

// A moment the event list marks on the time axis.
struct TrendMark {
    int64_t ms;
    std::string caption;  // UTF-8
};

// The phase currents and 3Io against time, from accepted polls only. The
// wheel zooms about the pointer, a drag pans, a double click follows the
// newest again; the pointer reads the currents under it.
class TrendPlot : public QWidget {
    Q_OBJECT

public:
    explicit TrendPlot(const TrendHistory& history, QWidget* parent = nullptr);
    // Plots another history from now on; it must outlive the plot or the next call.
    void SetHistory(const TrendHistory& history);
    // A preset: the last `minutes`, following the newest.
    void SetSpanMinutes(int minutes);
    int SpanMinutes() const { return static_cast<int>(view_.spanMs / 60000); }
    const TrendView& View() const { return view_; }
    void SetView(const TrendView& view);
    // The time at the right edge while following; by default the wall clock.
    void SetNowMs(int64_t ms) { nowMs_ = ms; }
    // 0: the scale follows the currents shown.
    void SetFixedMaxAmps(double amps);
    void SetMarks(std::vector<TrendMark> marks);
    // Repaints when the history has points the view shows, or the time axis
    // has moved by a pixel since the last paint, and not otherwise.
    void Follow(int64_t nowMs);
    // What the plot shows now, at its resolution.
    std::vector<TrendSpan> Shown() const;
    // The cursor's box, as painted: the time, then "Ia 2,50" and so on.
    QStringList CursorText() const { return cursorText_; }
    const std::vector<TrendMark>& Marks() const { return marks_; }
    // Where the lines are drawn, in the plot's pixels.
    PlotRect Area() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    // The view as painted: following, it ends now.
    TrendView Current() const;
    int64_t MsPerPixel(const TrendView& view) const;

    const TrendHistory* history_;
    TrendView view_;
    double fixedMaxAmps_ = 0;
    std::vector<TrendMark> marks_;
    int64_t nowMs_ = 0;
    int64_t paintedAtMs_ = 0;      // the right edge of the last paint
    uint64_t paintedRevision_ = 0; // the history's revision then
    std::optional<double> cursorX_;
    QStringList cursorText_;
    std::optional<double> dragFromX_;
    TrendView dragFrom_;
};

// "Тренды": the plot, its presets, its scale and its export.
class TfrmTrends : public QWidget {
    Q_OBJECT

public:
    explicit TfrmTrends(const TrendHistory& history, QWidget* parent = nullptr);
    TrendPlot* Plot() const { return plot_; }
    // The relay's history, and its name in the title (none: "Тренды" alone).
    void SetHistory(const TrendHistory& history, const std::string& relay);
    // The plot as shown, as PNG; what it shows, as CSV (Windows-1251, ";").
    // False, with the reason in *error, when the file cannot be written.
    bool SavePicture(const QString& fileName, QString* error) const;
    bool SaveData(const QString& fileName, QString* error) const;

private:
    TrendPlot* plot_;
    QComboBox* cbSpan_;
    QCheckBox* cbFixedScale_;
    QDoubleSpinBox* seMaxAmps_;
};
