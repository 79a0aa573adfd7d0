#include "TfrmTrends.h"

#include "Measurements.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

struct SeriesStyle {
    const char* name;
    QColor color;
};

const SeriesStyle kStyles[kSeriesCount] = {
    {"Ia", QColor(200, 150, 0)},
    {"Ib", QColor(0, 140, 0)},
    {"Ic", QColor(200, 0, 0)},
    {"3Io", QColor(0, 70, 200)},
};

// A round step for about `ticks` grid lines over `range`.
double NiceStep(double range, int ticks)
{
    const double raw = range / ticks;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

} // namespace

TrendPlot::TrendPlot(const TrendHistory& history, QWidget* parent) : QWidget(parent), history_(history)
{
    setObjectName("Plot");
    setMinimumSize(560, 300);
    setAutoFillBackground(true);
    setPalette(QPalette(Qt::white));
}

void TrendPlot::SetSpanMinutes(int minutes)
{
    spanMinutes_ = minutes;
    update();
}

void TrendPlot::Follow(int64_t nowMs)
{
    const int64_t span = int64_t{spanMinutes_} * 60000;
    const int64_t msPerPixel = span / std::max(1, width() - 88);
    if (history_.Revision() != paintedRevision_ || nowMs - paintedAtMs_ >= msPerPixel)
        update();
}

void TrendPlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int64_t now = nowMs_ ? nowMs_ : QDateTime::currentMSecsSinceEpoch();
    const int64_t span = int64_t{spanMinutes_} * 60000;
    paintedAtMs_ = now;
    paintedRevision_ = history_.Revision();
    const auto points = history_.Since(now - span);

    uint16_t top = 100;  // at least 1 A of scale
    for (const auto& pt : points)
        for (uint16_t v : pt.values)
            top = std::max(top, v);
    const double maxAmps = top / 100.0 * 1.1;

    const QRect area = rect().adjusted(56, 28, -32, -34);
    p.setPen(QColor(120, 120, 120));
    p.drawRect(area);

    // Amperes up the side, minutes and seconds along the bottom.
    const double step = NiceStep(maxAmps, 5);
    p.setFont(QFont(font().family(), 8));
    for (double a = 0; a <= maxAmps + 1e-9; a += step) {
        const int y = area.bottom() - static_cast<int>(a / maxAmps * area.height());
        p.setPen(QColor(225, 225, 225));
        p.drawLine(area.left(), y, area.right(), y);
        p.setPen(Qt::black);
        p.drawText(QRect(0, y - 8, area.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QLocale::system().toString(a, 'g', 4));
    }
    const int divisions = spanMinutes_ == 1 ? 6 : (spanMinutes_ == 10 ? 10 : 6);
    for (int i = 0; i <= divisions; ++i) {
        const int x = area.left() + area.width() * i / divisions;
        p.setPen(QColor(225, 225, 225));
        p.drawLine(x, area.top(), x, area.bottom());
        const QString when = QDateTime::fromMSecsSinceEpoch(now - span + span * i / divisions).toString("H:mm:ss");
        p.setPen(Qt::black);
        p.drawText(QRect(x - 40, area.bottom() + 4, 80, 14), Qt::AlignHCenter, when);
    }
    p.drawText(QRect(4, 4, 200, 18), Qt::AlignLeft, QString::fromUtf8("Ток, А"));
    p.drawText(QRect(area.right() - 200, area.bottom() + 18, 200, 14), Qt::AlignRight,
               QString::fromUtf8("Время"));

    // A gap of more than ten seconds between points (polling stopped, relay
    // silent) breaks the line instead of drawing across it.
    for (int s = 0; s < kSeriesCount; ++s) {
        QPainterPath path;
        int64_t previous = 0;
        for (const auto& pt : points) {
            const QPointF at(area.left() + (pt.ms - (now - span)) * area.width() / static_cast<double>(span),
                             area.bottom() - pt.values[s] / 100.0 / maxAmps * area.height());
            if (path.elementCount() == 0 || pt.ms - previous > 10000)
                path.moveTo(at);
            else
                path.lineTo(at);
            previous = pt.ms;
        }
        p.setPen(QPen(kStyles[s].color, 1.6));
        p.drawPath(path);
        // The legend along the top.
        const int x = area.left() + 90 * s + 120;
        p.drawLine(x, 13, x + 20, 13);
        p.setPen(Qt::black);
        p.drawText(QPoint(x + 24, 17), QString::fromUtf8(kStyles[s].name));
    }
    if (points.empty()) {
        p.setPen(QColor(120, 120, 120));
        p.drawText(area, Qt::AlignCenter, QString::fromUtf8("Нет принятых ответов за это время"));
    }
}

TfrmTrends::TfrmTrends(const TrendHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), plot_(new TrendPlot(history, this)), cbSpan_(new QComboBox(this))
{
    setObjectName("frmTrends");
    setWindowTitle(QString::fromUtf8("Тренды"));
    cbSpan_->setObjectName("cbSpan");
    cbSpan_->addItem(QString::fromUtf8("1 мин"), 1);
    cbSpan_->addItem(QString::fromUtf8("10 мин"), 10);
    cbSpan_->addItem(QString::fromUtf8("60 мин"), 60);
    cbSpan_->setCurrentIndex(1);
    connect(cbSpan_, &QComboBox::currentIndexChanged, this,
            [this](int index) { plot_->SetSpanMinutes(cbSpan_->itemData(index).toInt()); });
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QString::fromUtf8("Интервал"), this));
    top->addWidget(cbSpan_);
    top->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(plot_, 1);
    resize(760, 420);
}
