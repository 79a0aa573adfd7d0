#include "TfrmTrends.h"

#include "TrendGeometry.h"
#include "TrendHistory.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>

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

} // namespace

TrendPlot::TrendPlot(const TrendHistory& history, QWidget* parent) : QWidget(parent), history_(&history)
{
    setObjectName("Plot");
    setMinimumSize(560, 300);
    setAutoFillBackground(true);
    setPalette(QPalette(Qt::white));
}

void TrendPlot::SetHistory(const TrendHistory& history)
{
    history_ = &history;
    paintedRevision_ = 0;
    update();
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
    if (history_->Revision() != paintedRevision_ || nowMs - paintedAtMs_ >= msPerPixel)
        update();
}

void TrendPlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int64_t now = nowMs_ ? nowMs_ : QDateTime::currentMSecsSinceEpoch();
    const int64_t span = int64_t{spanMinutes_} * 60000;
    paintedAtMs_ = now;
    paintedRevision_ = history_->Revision();
    const auto points = history_->Since(now - span);
    const QRect area = rect().adjusted(56, 28, -32, -34);
    const TrendGeometry g = LayOutTrends(points, now, spanMinutes_,
                                         {double(area.left()), double(area.top()), double(area.width()),
                                          double(area.height())});
    p.setPen(QColor(120, 120, 120));
    p.drawRect(area);

    // Amperes up the side, minutes and seconds along the bottom.
    p.setFont(QFont(font().family(), 8));
    for (const AmpTick& tick : g.ampTicks) {
        const int y = static_cast<int>(tick.y);
        p.setPen(QColor(225, 225, 225));
        p.drawLine(area.left(), y, area.right(), y);
        p.setPen(Qt::black);
        p.drawText(QRect(0, y - 8, area.left() - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QLocale::system().toString(tick.amps, 'g', 4));
    }
    for (const TimeTick& tick : g.timeTicks) {
        const int x = static_cast<int>(tick.x);
        p.setPen(QColor(225, 225, 225));
        p.drawLine(x, area.top(), x, area.bottom());
        p.setPen(Qt::black);
        p.drawText(QRect(x - 40, area.bottom() + 4, 80, 14), Qt::AlignHCenter,
                   QDateTime::fromMSecsSinceEpoch(tick.ms).toString("H:mm:ss"));
    }
    p.drawText(QRect(4, 4, 200, 18), Qt::AlignLeft, QString::fromUtf8("Ток, А"));
    p.drawText(QRect(area.right() - 200, area.bottom() + 18, 200, 14), Qt::AlignRight, QString::fromUtf8("Время"));

    for (int s = 0; s < kSeriesCount; ++s) {
        QPainterPath path;
        for (const auto& piece : g.lines[static_cast<std::size_t>(s)]) {
            path.moveTo(piece.front().x, piece.front().y);
            for (std::size_t i = 1; i < piece.size(); ++i)
                path.lineTo(piece[i].x, piece[i].y);
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

void TfrmTrends::SetHistory(const TrendHistory& history, const std::string& relay)
{
    plot_->SetHistory(history);
    setWindowTitle(relay.empty() ? QString::fromUtf8("Тренды") : QString::fromUtf8("Тренды — %1").arg(QString::fromStdString(relay)));
}
