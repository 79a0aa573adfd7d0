#include "TfrmRelays.h"

#include <QHeaderView>
#include <QPainter>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

constexpr int kUnitRole = Qt::UserRole;
constexpr int kSortRole = Qt::UserRole + 1;

// Sorts by its key where it has one: currents as numbers, not as text.
class SortedItem : public QTableWidgetItem {
public:
    bool operator<(const QTableWidgetItem& other) const override
    {
        const QVariant mine = data(kSortRole), theirs = other.data(kSortRole);
        if (mine.isValid() && theirs.isValid())
            return QVariant::compare(mine, theirs) == QPartialOrdering::Less;
        return QTableWidgetItem::operator<(other);
    }
};

QIcon RedMark()
{
    QPixmap picture(14, 14);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(220, 0, 0));
    p.setPen(QColor(120, 0, 0));
    p.drawEllipse(1, 1, 12, 12);
    return QIcon(picture);
}

} // namespace

TfrmRelays::TfrmRelays(QWidget* parent) : QWidget(parent, Qt::Window), table_(new QTableWidget(this))
{
    setObjectName("frmRelays");
    setWindowTitle(QString::fromUtf8("Все реле"));
    table_->setObjectName("tvRelays");
    table_->setColumnCount(kColumns);
    table_->setHorizontalHeaderLabels({QString::fromUtf8("Реле"), QString::fromUtf8("Адрес"), QString::fromUtf8("Ia, А"),
                                       QString::fromUtf8("Ib, А"), QString::fromUtf8("Ic, А"), QString::fromUtf8("3Io, А"),
                                       QString::fromUtf8("Iкз, А"), QString::fromUtf8("Авария"), QString::fromUtf8("Связь"),
                                       QString::fromUtf8("Последний ответ")});
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setSectionResizeMode(kName, QHeaderView::Stretch);
    table_->setColumnWidth(kAddress, 60);
    for (int column = kIa; column <= kLastTrip; ++column)
        table_->setColumnWidth(column, 70);
    table_->setColumnWidth(kAlarm, 60);
    table_->setColumnWidth(kLink, 180);
    table_->setColumnWidth(kLastAnswer, 120);
    connect(table_, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        if (const QTableWidgetItem* item = table_->item(row, kName))
            emit relayChosen(item->data(kUnitRole).value<std::size_t>());
    });
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table_);
    resize(960, 300);
}

int TfrmRelays::RowOf(std::size_t unit) const
{
    for (int row = 0; row < table_->rowCount(); ++row)
        if (table_->item(row, kName)->data(kUnitRole).value<std::size_t>() == unit)
            return row;
    return -1;
}

void TfrmRelays::SetCell(int row, int column, const QString& text, const QVariant& sortKey)
{
    QTableWidgetItem* item = table_->item(row, column);
    if (item->text() != text)
        item->setText(text);
    if (sortKey.isValid() && item->data(kSortRole) != sortKey)
        item->setData(kSortRole, sortKey);
}

void TfrmRelays::Show(const std::vector<OverviewRow>& rows)
{
    if (rows.size() != shown_.size()) {
        // Another line: the rows are made afresh, in the list's order.
        table_->setSortingEnabled(false);
        table_->clearContents();
        table_->setRowCount(static_cast<int>(rows.size()));
        for (int row = 0; row < table_->rowCount(); ++row)
            for (int column = 0; column < kColumns; ++column) {
                auto* item = new SortedItem;
                if (column >= kAddress && column <= kLastTrip)
                    item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
                if (column == kName)
                    item->setData(kUnitRole, QVariant::fromValue(static_cast<std::size_t>(row)));
                table_->setItem(row, column, item);
            }
        // Unlike any row a relay makes, so that each cell is written once.
        OverviewRow unlike;
        unlike.link = "-";
        shown_.assign(rows.size(), unlike);
        table_->setSortingEnabled(true);
    }
    static const QIcon red = RedMark();
    for (std::size_t unit = 0; unit < rows.size(); ++unit) {
        const OverviewRow& now = rows[unit];
        OverviewRow& was = shown_[unit];
        if (now == was)
            continue;
        // A sorted table moves a row as its cell changes: each cell looks its row up.
        if (now.name != was.name || now.address != was.address) {
            SetCell(RowOf(unit), kName, QString::fromStdString(now.name), {});
            SetCell(RowOf(unit), kAddress, QString::number(now.address), now.address);
        }
        for (int i = 0; i < 5; ++i)
            if (now.currents[i] != was.currents[i])
                SetCell(RowOf(unit), kIa + i, QString::fromStdString(now.currents[i]),
                        now.currents[i].empty() ? QVariant(-1) : QVariant(now.centiamps[i]));
        if (now.redLeds != was.redLeds) {
            QTableWidgetItem* alarm = table_->item(RowOf(unit), kAlarm);
            alarm->setIcon(now.redLeds.empty() ? QIcon() : red);
            alarm->setToolTip(QString::fromStdString(now.redLeds));
            alarm->setData(kSortRole, now.redLeds.empty() ? 0 : 1);
        }
        if (now.link != was.link)
            SetCell(RowOf(unit), kLink, QString::fromStdString(now.link), {});
        if (now.lastAnswer != was.lastAnswer)
            SetCell(RowOf(unit), kLastAnswer, QString::fromStdString(now.lastAnswer), {});
        was = now;
    }
}
