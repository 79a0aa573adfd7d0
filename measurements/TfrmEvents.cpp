#include "TfrmEvents.h"

#include "Cp1251Qt.h"
#include "DecimalSeparator.h"
#include "EventLog.h"
#include "LocalTime.h"
#include "RelayRegisters.h"
#include "WholeFile.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

EventTableModel::EventTableModel(const EventLog& log, QObject* parent) : QAbstractTableModel(parent), log_(log) {}

int EventTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int EventTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : kColumns;
}

const Event& EventTableModel::At(int row) const
{
    const uint64_t first = log_.FirstHeld();
    return log_.Events()[static_cast<std::size_t>(rows_[static_cast<std::size_t>(row)] - first)];
}

QVariant EventTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || role != Qt::DisplayRole)
        return {};
    const Event& e = At(index.row());
    switch (index.column()) {
    case kTime: {
        const LocalTime t = ToLocal(e.at);
        return QString::asprintf("%d:%02d:%02d.%03d", t.hour, t.minute, t.second, t.millisecond);
    }
    case kWhat: return QString::fromStdString(e.what);
    case kState: return QString::fromStdString(e.state);
    case kRelay: return QString::fromStdString(e.relay);
    default:
        if (!e.currents)
            return {};
        return QString::fromStdString(
            FormatMeasuredCurrent((*e.currents)[static_cast<std::size_t>(index.column() - kIa)], DecimalSeparator()));
    }
}

QVariant EventTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const kHeaders[kColumns] = {"Время", "Событие", "Состояние", "Ia, А", "Ib, А",
                                                   "Ic, А", "3Io, А",  "Iкз, А",    "Реле"};
    return QString::fromUtf8(kHeaders[section]);
}

void EventTableModel::Refresh()
{
    const uint64_t first = log_.FirstHeld();
    // Those the log let go of leave from the top.
    std::size_t gone = 0;
    while (gone < rows_.size() && rows_[gone] < first)
        ++gone;
    if (gone > 0) {
        beginRemoveRows({}, 0, static_cast<int>(gone) - 1);
        rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(gone));
        endRemoveRows();
    }
    std::vector<uint64_t> added;
    for (uint64_t n = std::max(taken_, first); n < log_.Added(); ++n)
        if (Shown(log_.Events()[static_cast<std::size_t>(n - first)]))
            added.push_back(n);
    taken_ = log_.Added();
    if (added.empty())
        return;
    const int at = static_cast<int>(rows_.size());
    beginInsertRows({}, at, at + static_cast<int>(added.size()) - 1);
    rows_.insert(rows_.end(), added.begin(), added.end());
    endInsertRows();
}

void EventTableModel::SetShown(EventKind kind, bool shown)
{
    shown_[static_cast<int>(kind)] = shown;
    Rebuild();
}

void EventTableModel::SetRelay(const std::string& relay)
{
    relay_ = relay;
    Rebuild();
}

void EventTableModel::Rebuild()
{
    beginResetModel();
    rows_.clear();
    const uint64_t first = log_.FirstHeld();
    for (uint64_t n = first; n < log_.Added(); ++n)
        if (Shown(log_.Events()[static_cast<std::size_t>(n - first)]))
            rows_.push_back(n);
    taken_ = log_.Added();
    endResetModel();
}

TfrmEvents::TfrmEvents(const EventLog& log, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(new EventTableModel(log, this)), tvEvents_(new QTableView(this)),
      cbRelay_(new QComboBox(this))
{
    setObjectName("frmEvents");
    setWindowTitle(QString::fromUtf8("События"));
    tvEvents_->setObjectName("tvEvents");
    tvEvents_->setModel(model_);
    tvEvents_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tvEvents_->verticalHeader()->hide();
    // One line a row, so that a long run reads like a list.
    tvEvents_->setWordWrap(false);
    tvEvents_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    tvEvents_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    tvEvents_->horizontalHeader()->setSectionResizeMode(EventTableModel::kWhat, QHeaderView::Stretch);
    tvEvents_->setColumnWidth(EventTableModel::kTime, 100);
    tvEvents_->setColumnWidth(EventTableModel::kState, 220);
    for (int c = EventTableModel::kIa; c < EventTableModel::kRelay; ++c)
        tvEvents_->setColumnWidth(c, 64);
    tvEvents_->setColumnWidth(EventTableModel::kRelay, 160);

    auto* filters = new QHBoxLayout;
    struct Filter {
        const char* name;
        const char* caption;
        EventKind kind;
    };
    for (const Filter& f : {Filter{"cbTrips", "Срабатывания", EventKind::Trip},
                            Filter{"cbInputs", "Входы", EventKind::Input}, Filter{"cbLink", "Связь", EventKind::Link},
                            Filter{"cbOperator", "Оператор", EventKind::Operator}}) {
        auto* box = new QCheckBox(QString::fromUtf8(f.caption), this);
        box->setObjectName(f.name);
        box->setChecked(true);
        const EventKind kind = f.kind;
        connect(box, &QCheckBox::toggled, this, [this, kind](bool on) {
            model_->SetShown(kind, on);
            tvEvents_->scrollToBottom();
        });
        filters->addWidget(box);
    }
    cbRelay_->setObjectName("cbRelay");
    cbRelay_->setVisible(false);
    connect(cbRelay_, &QComboBox::currentIndexChanged, this, [this](int index) {
        model_->SetRelay(index > 0 ? cbRelay_->itemText(index).toStdString() : std::string());
        tvEvents_->scrollToBottom();
    });
    filters->addWidget(cbRelay_);
    filters->addStretch();
    auto* save = new QPushButton(QString::fromUtf8("Сохранить..."), this);
    save->setObjectName("btnSave");
    connect(save, &QPushButton::clicked, this, &TfrmEvents::btnSaveClick);
    filters->addWidget(save);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(tvEvents_, 1);
    resize(960, 420);
}

void TfrmEvents::SetRelays(const std::vector<std::string>& relays)
{
    cbRelay_->clear();  // back to every relay's events
    cbRelay_->addItem(QString::fromUtf8("Все реле"));
    for (const std::string& relay : relays)
        cbRelay_->addItem(QString::fromStdString(relay));
    cbRelay_->setVisible(!relays.empty());
}

void TfrmEvents::Follow()
{
    // At the bottom (or nothing to scroll): keep showing the newest.
    const QScrollBar* bar = tvEvents_->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    model_->Refresh();
    if (atEnd)
        tvEvents_->scrollToBottom();
}

bool TfrmEvents::SaveTo(const QString& fileName, QString* error) const
{
    const std::string separator = DecimalSeparator();
    std::string text = Utf8ToCp1251(EventCsvHeader()) + "\r\n";
    for (int row = 0; row < model_->rowCount(); ++row)
        text += Utf8ToCp1251(EventCsvLine(model_->At(row), separator)) + "\r\n";
    return WriteWholeFile(fileName, text, error);
}

void TfrmEvents::btnSaveClick()
{
    const QString fileName = QFileDialog::getSaveFileName(this, QString::fromUtf8("Сохранить события"), QString(),
                                                          "CSV files (*.csv)");
    QString error;
    if (!fileName.isEmpty() && !SaveTo(fileName, &error)) {
        auto* box = new QMessageBox(QMessageBox::Critical, windowTitle(),
                                    QString::fromUtf8("Не удалось сохранить события в «%1»: %2").arg(fileName, error),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
}
