#include "TfrmTrends.h"

#include "Cp1251.h"
#include "DecimalSeparator.h"
#include "TrendHistory.h"
#include "WholeFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QImageWriter>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>

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

const QColor kMarkColor(150, 0, 150);

int64_t UtcOffsetMs()
{
    return int64_t{QDateTime::currentDateTime().offsetFromUtc()} * 1000;
}

} // namespace

TrendPlot::TrendPlot(const TrendHistory& history, QWidget* parent) : QWidget(parent), history_(&history)
{
    setObjectName("Plot");
    setMinimumSize(560, 300);
    setAutoFillBackground(true);
    setPalette(QPalette(Qt::white));
    setMouseTracking(true);
}

void TrendPlot::SetHistory(const TrendHistory& history)
{
    history_ = &history;
    paintedRevision_ = 0;
    update();
}

void TrendPlot::SetSpanMinutes(int minutes)
{
    view_.spanMs = int64_t{minutes} * 60000;
    view_.follow = true;
    update();
}

void TrendPlot::SetView(const TrendView& view)
{
    view_ = view;
    update();
}

void TrendPlot::SetFixedMaxAmps(double amps)
{
    fixedMaxAmps_ = amps;
    update();
}

void TrendPlot::SetMarks(std::vector<TrendMark> marks)
{
    marks_ = std::move(marks);
    update();
}

PlotRect TrendPlot::Area() const
{
    const QRect area = rect().adjusted(56, 28, -32, -34);
    return {double(area.left()), double(area.top()), double(area.width()), double(area.height())};
}

TrendView TrendPlot::Current() const
{
    TrendView view = view_;
    if (view.follow)
        view.endMs = nowMs_ ? nowMs_ : QDateTime::currentMSecsSinceEpoch();
    return view;
}

int64_t TrendPlot::MsPerPixel(const TrendView& view) const
{
    return std::max<int64_t>(1, view.spanMs / std::max(1, static_cast<int>(Area().width)));
}

std::vector<TrendSpan> TrendPlot::Shown() const
{
    const TrendView view = Current();
    return history_->Range(view.StartMs(), view.endMs, MsPerPixel(view));
}

void TrendPlot::Follow(int64_t nowMs)
{
    if (history_->Revision() == paintedRevision_ && (!view_.follow || nowMs - paintedAtMs_ < MsPerPixel(view_)))
        return;
    // Looking back, points newer than the view change nothing in it.
    if (!view_.follow && history_->NewestMs() > view_.endMs && paintedRevision_ != 0)
        return;
    update();
}

void TrendPlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const TrendView view = Current();
    paintedAtMs_ = view.endMs;
    paintedRevision_ = history_->Revision();
    const int64_t msPerPixel = MsPerPixel(view);
    const auto spans = history_->Range(view.StartMs(), view.endMs, msPerPixel);
    const PlotRect area = Area();
    const QRectF box(area.left, area.top, area.width, area.height);
    const TrendGeometry g = LayOutTrends(spans, view, area, fixedMaxAmps_, UtcOffsetMs());
    p.setPen(QColor(120, 120, 120));
    p.drawRect(box);

    // Amperes up the side, the time of day along the bottom.
    p.setFont(QFont(font().family(), 8));
    for (const AmpTick& tick : g.ampTicks) {
        p.setPen(QColor(225, 225, 225));
        p.drawLine(QPointF(area.left, tick.y), QPointF(box.right(), tick.y));
        p.setPen(Qt::black);
        p.drawText(QRectF(0, tick.y - 8, area.left - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QLocale::system().toString(tick.amps, 'g', 4));
    }
    for (const TimeTick& tick : g.timeTicks) {
        p.setPen(QColor(225, 225, 225));
        p.drawLine(QPointF(tick.x, area.top), QPointF(tick.x, area.Bottom()));
        p.setPen(Qt::black);
        p.drawText(QRectF(tick.x - 45, area.Bottom() + 4, 90, 14), Qt::AlignHCenter,
                   QDateTime::fromMSecsSinceEpoch(tick.ms).toString(QString::fromLatin1(g.timeFormat)));
    }
    p.drawText(QRect(4, 4, 200, 18), Qt::AlignLeft, QString::fromUtf8("Ток, А"));
    p.drawText(QRectF(box.right() - 300, area.Bottom() + 18, 300, 14), Qt::AlignRight,
               view.follow ? QString::fromUtf8("Время") : QString::fromUtf8("Время (двойной щелчок — к последним)"));

    p.save();
    p.setClipRect(box);
    // A one-pixel cosmetic pen takes the raster engine's fast path: a day of
    // spans strokes in a millisecond, where any wider pen is outlined first
    // and takes a hundred times as long.
    QPolygonF polyline;
    for (int s = 0; s < kSeriesCount; ++s) {
        QPen pen(kStyles[s].color, 1);
        pen.setCosmetic(true);
        p.setPen(pen);
        for (const auto& piece : g.lines[static_cast<std::size_t>(s)]) {
            polyline.clear();
            for (const PlotPoint& point : piece)
                polyline << QPointF(point.x, point.y);
            p.drawPolyline(polyline);
        }
    }
    // The events' moments: a tick under the axis and a faint line up.
    for (const TrendMark& mark : marks_) {
        const double x = view.XOf(mark.ms, area);
        if (x < area.left || x > box.right())
            continue;
        p.setPen(QPen(kMarkColor, 1, Qt::DotLine));
        p.drawLine(QPointF(x, area.top), QPointF(x, area.Bottom()));
    }
    p.restore();
    p.setPen(Qt::NoPen);
    p.setBrush(kMarkColor);
    for (const TrendMark& mark : marks_) {
        const double x = view.XOf(mark.ms, area);
        if (x >= area.left && x <= box.right())
            p.drawPolygon(QPolygonF({QPointF(x, area.Bottom()), QPointF(x - 4, area.Bottom() + 7),
                                     QPointF(x + 4, area.Bottom() + 7)}));
    }
    p.setBrush(Qt::NoBrush);

    for (int s = 0; s < kSeriesCount; ++s) {
        // The legend along the top.
        const double x = area.left + 90 * s + 120;
        p.setPen(QPen(kStyles[s].color, 1.6));
        p.drawLine(QPointF(x, 13), QPointF(x + 20, 13));
        p.setPen(Qt::black);
        p.drawText(QPointF(x + 24, 17), QString::fromUtf8(kStyles[s].name));
    }
    if (spans.empty()) {
        p.setPen(QColor(120, 120, 120));
        p.drawText(box, Qt::AlignCenter, QString::fromUtf8("Нет принятых ответов за это время"));
    }

    // The cursor: the time under the pointer and the currents there.
    cursorText_.clear();
    if (!cursorX_ || *cursorX_ < area.left || *cursorX_ > box.right())
        return;
    const int64_t ms = view.MsAt(*cursorX_, area);
    cursorText_ << QDateTime::fromMSecsSinceEpoch(ms).toString("H:mm:ss.zzz");
    const std::optional<TrendSpan> near =
        SpanNear(spans, ms, std::max<int64_t>(3 * msPerPixel, 2 * TrendHistory::kSpacingMs));
    if (near)
        for (int s = 0; s < kSeriesCount; ++s)
            cursorText_ << QString::fromUtf8("%1 %2").arg(
                kStyles[s].name, QString::fromStdString(SpanValueText(*near, Series(s), DecimalSeparator())));
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.drawLine(QPointF(*cursorX_, area.top), QPointF(*cursorX_, area.Bottom()));
    const QFontMetrics metrics(p.font());
    int width = 0;
    for (const QString& line : cursorText_)
        width = std::max(width, metrics.horizontalAdvance(line));
    const QSizeF size(width + 12, metrics.height() * cursorText_.size() + 8);
    // Beside the line, on whichever side has room.
    const double left = *cursorX_ + 8 + size.width() > box.right() ? *cursorX_ - 8 - size.width() : *cursorX_ + 8;
    const QRectF label(left, area.top + 4, size.width(), size.height());
    p.fillRect(label, QColor(255, 255, 240));
    p.drawRect(label);
    for (int i = 0; i < cursorText_.size(); ++i)
        p.drawText(QPointF(label.left() + 6, label.top() + 4 + metrics.ascent() + i * metrics.height()),
                   cursorText_[i]);
}

void TrendPlot::wheelEvent(QWheelEvent* event)
{
    const PlotRect area = Area();
    const double steps = event->angleDelta().y() / 120.0;
    view_ = Current().Zoomed(std::pow(0.8, steps), (event->position().x() - area.left) / area.width);
    update();
    event->accept();
}

void TrendPlot::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        dragFromX_ = event->position().x();
        dragFrom_ = Current();
    }
}

void TrendPlot::mouseMoveEvent(QMouseEvent* event)
{
    cursorX_ = event->position().x();
    if (dragFromX_ && (event->buttons() & Qt::LeftButton) && *dragFromX_ != cursorX_)
        view_ = dragFrom_.Panned((*cursorX_ - *dragFromX_) / Area().width);
    update();
}

void TrendPlot::mouseReleaseEvent(QMouseEvent*)
{
    dragFromX_.reset();
}

void TrendPlot::mouseDoubleClickEvent(QMouseEvent*)
{
    view_.follow = true;
    dragFromX_.reset();
    update();
}

void TrendPlot::leaveEvent(QEvent*)
{
    cursorX_.reset();
    update();
}

bool TrendPlot::event(QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QWidget::event(event);
    // An event mark's caption under the pointer.
    const auto* help = static_cast<QHelpEvent*>(event);
    const TrendView view = Current();
    QStringList captions;
    for (const TrendMark& mark : marks_)
        if (std::abs(view.XOf(mark.ms, Area()) - help->pos().x()) <= 5)
            captions << QDateTime::fromMSecsSinceEpoch(mark.ms).toString("H:mm:ss.zzz ")
                            + QString::fromStdString(mark.caption);
    if (captions.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), captions.join('\n'), this);
    return true;
}

TfrmTrends::TfrmTrends(const TrendHistory& history, QWidget* parent)
    : QWidget(parent, Qt::Window), plot_(new TrendPlot(history, this)), cbSpan_(new QComboBox(this)),
      cbFixedScale_(new QCheckBox(QString::fromUtf8("Шкала до, А"), this)), seMaxAmps_(new QDoubleSpinBox(this))
{
    setObjectName("frmTrends");
    setWindowTitle(QString::fromUtf8("Тренды"));
    cbSpan_->setObjectName("cbSpan");
    cbSpan_->addItem(QString::fromUtf8("1 мин"), 1);
    cbSpan_->addItem(QString::fromUtf8("10 мин"), 10);
    cbSpan_->addItem(QString::fromUtf8("60 мин"), 60);
    cbSpan_->setCurrentIndex(1);
    connect(cbSpan_, &QComboBox::activated, this,
            [this](int index) { plot_->SetSpanMinutes(cbSpan_->itemData(index).toInt()); });
    connect(cbSpan_, &QComboBox::currentIndexChanged, this,
            [this](int index) { plot_->SetSpanMinutes(cbSpan_->itemData(index).toInt()); });
    cbFixedScale_->setObjectName("cbFixedScale");
    seMaxAmps_->setObjectName("seMaxAmps");
    seMaxAmps_->setRange(0.5, 1000);
    seMaxAmps_->setValue(10);
    auto scale = [this] { plot_->SetFixedMaxAmps(cbFixedScale_->isChecked() ? seMaxAmps_->value() : 0); };
    connect(cbFixedScale_, &QCheckBox::toggled, this, scale);
    connect(seMaxAmps_, &QDoubleSpinBox::valueChanged, this, scale);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QString::fromUtf8("Интервал"), this));
    top->addWidget(cbSpan_);
    top->addSpacing(12);
    top->addWidget(cbFixedScale_);
    top->addWidget(seMaxAmps_);
    top->addStretch();
    auto addButton = [&](const char* name, const char* caption, auto save, const char* filter) {
        auto* button = new QPushButton(QString::fromUtf8(caption), this);
        button->setObjectName(name);
        connect(button, &QPushButton::clicked, this, [this, save, filter, caption] {
            const QString fileName =
                QFileDialog::getSaveFileName(this, QString::fromUtf8(caption).remove("..."), QString(), filter);
            QString error;
            if (!fileName.isEmpty() && !(this->*save)(fileName, &error))
                QMessageBox::warning(this, windowTitle(),
                                     QString::fromUtf8("Не удалось записать «%1»: %2").arg(fileName, error));
        });
        top->addWidget(button);
    };
    addButton("btnSavePicture", "Сохранить картинку...", &TfrmTrends::SavePicture, "PNG (*.png)");
    addButton("btnSaveData", "Сохранить данные...", &TfrmTrends::SaveData, "CSV (*.csv)");

    auto* hint = new QLabel(QString::fromUtf8("Колесо мыши — масштаб времени, перетаскивание — сдвиг, "
                                              "двойной щелчок — к последним точкам"),
                            this);
    hint->setStyleSheet("color: gray");
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(plot_, 1);
    layout->addWidget(hint);
    resize(860, 460);
}

void TfrmTrends::SetHistory(const TrendHistory& history, const std::string& relay)
{
    plot_->SetHistory(history);
    setWindowTitle(relay.empty() ? QString::fromUtf8("Тренды") : QString::fromUtf8("Тренды — %1").arg(QString::fromStdString(relay)));
}

bool TfrmTrends::SavePicture(const QString& fileName, QString* error) const
{
    QSaveFile file(fileName);
    QImageWriter writer(&file, "png");
    if (!file.open(QIODevice::WriteOnly) || !writer.write(plot_->grab().toImage())) {
        *error = file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

bool TfrmTrends::SaveData(const QString& fileName, QString* error) const
{
    std::string text;
    for (const std::string& line : TrendCsvLines(plot_->Shown(), DecimalSeparator()))
        text += line + "\r\n";
    return WriteWholeFile(fileName, Utf8ToCp1251(text), error);
}
