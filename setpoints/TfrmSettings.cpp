#include "TfrmSettings.h"

#include "DecimalSeparator.h"
#include "SetpointDecode.h"
#include "TDeviceControl.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

struct Group {
    const char* caption;
    int first;    // registers first..last
    int last;
    int splitAt;  // first register of a second column, or 0
};

// МТЗ, ТО1, ТО2 across the top; ЗНЗ over АПВ on the left below them, and the
// configuration on the right in two columns.
constexpr Group kMtz{"МТЗ", 6, 13, 0};
constexpr Group kTo1{"ТО1", 14, 18, 0};
constexpr Group kTo2{"ТО2", 19, 23, 0};
constexpr Group kZnz{"ЗНЗ", 24, 26, 0};
constexpr Group kConfig{"Конфигурация", 27, 37, 36};
constexpr Group kApv{"АПВ", 38, 41, 0};

} // namespace

TfrmSettings::TfrmSettings(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName("frmSettings");
    setWindowTitle(QString::fromUtf8("Уставки"));

    auto makeGroup = [this](const Group& g) {
        auto* box = new QGroupBox(QString::fromUtf8(g.caption), this);
        auto* grid = new QGridLayout(box);
        for (int reg = g.first; reg <= g.last; ++reg) {
            const SetpointField& field = kSetpointFields[reg - kFirstSetpointRegister];
            const bool second = g.splitAt && reg >= g.splitAt;
            const int row = second ? reg - g.splitAt : reg - g.first;
            const int column = second ? 3 : 0;
            auto* edit = new QLineEdit(box);
            edit->setObjectName(field.control);
            edit->setReadOnly(true);
            edit->setFixedWidth(110);
            auto* saved = new QLabel(box);
            saved->setObjectName(QString::fromUtf8(field.control) + "_file");
            saved->setVisible(false);
            grid->addWidget(new QLabel(QString::fromUtf8(field.label), box), row, column);
            grid->addWidget(edit, row, column + 1);
            grid->addWidget(saved, row, column + 2);
            edits_[reg - kFirstSetpointRegister] = edit;
            saved_[reg - kFirstSetpointRegister] = saved;
        }
        grid->setRowStretch(grid->rowCount(), 1);
        return box;
    };

    auto* top = new QHBoxLayout;
    top->addWidget(makeGroup(kMtz));
    top->addWidget(makeGroup(kTo1));
    top->addWidget(makeGroup(kTo2));
    auto* left = new QVBoxLayout;
    left->addWidget(makeGroup(kZnz));
    left->addWidget(makeGroup(kApv));
    auto* bottom = new QHBoxLayout;
    bottom->addLayout(left);
    bottom->addWidget(makeGroup(kConfig));

    summary_ = new QLabel(this);
    summary_->setObjectName("lblComparison");
    summary_->setWordWrap(true);
    differences_ = new QListWidget(this);
    differences_->setObjectName("lstDifferences");
    differences_->setFixedHeight(6 * differences_->fontMetrics().height() + 8);
    endComparison_ = new QPushButton(QString::fromUtf8("Снять сравнение"), this);
    endComparison_->setObjectName("btnEndComparison");
    connect(endComparison_, &QPushButton::clicked, this, [this] { SetComparison(std::nullopt, {}); });
    for (QWidget* w : {static_cast<QWidget*>(summary_), static_cast<QWidget*>(differences_),
                       static_cast<QWidget*>(endComparison_)})
        w->setVisible(false);

    auto addButton = [this](QHBoxLayout* row, const char* name, const char* caption, auto handler) {
        auto* button = new QPushButton(QString::fromUtf8(caption), this);
        button->setObjectName(name);
        connect(button, &QPushButton::clicked, this, handler);
        row->addWidget(button);
    };
    auto* files = new QHBoxLayout;
    addButton(files, "btnSaveSetpoints", "Сохранить уставки...", &TfrmSettings::saveRequested);
    addButton(files, "btnCompareSetpoints", "Сравнить с файлом...", &TfrmSettings::compareRequested);
    addButton(files, "btnSetpointReport", "Отчёт PDF...", &TfrmSettings::reportRequested);
    files->addWidget(endComparison_);
    files->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    addButton(buttons, "Button1", "Закрыть", &TfrmSettings::Button1Click);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(bottom);
    layout->addWidget(summary_);
    layout->addWidget(differences_);
    layout->addLayout(files);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed single border
}

void TfrmSettings::UpdateSetpoints(const RegisterImage& image)
{
    const std::string separator = DecimalSeparator();
    SetpointValues now{};
    for (int i = 0; i < kSetpointCount; ++i) {
        const SetpointField& field = kSetpointFields[i];
        now[i] = image.Get(field.reg);
        edits_[i]->setText(QString::fromStdString(DecodeSetpoint(field, now[i], separator)));
    }
    if (compared_)
        ShowComparison(now, separator);
}

void TfrmSettings::SetComparison(std::optional<SetpointSnapshot> saved, const QString& fileName)
{
    compared_ = std::move(saved);
    comparedFile_ = compared_ ? fileName : QString();
    shownDifferences_.clear();
    differences_->clear();
    for (int i = 0; i < kSetpointCount; ++i) {
        saved_[i]->clear();
        saved_[i]->setVisible(compared_.has_value());
        edits_[i]->setStyleSheet({});
    }
    for (QWidget* w : {static_cast<QWidget*>(summary_), static_cast<QWidget*>(differences_),
                       static_cast<QWidget*>(endComparison_)})
        w->setVisible(compared_.has_value());
}

void TfrmSettings::ShowComparison(const SetpointValues& now, const std::string& separator)
{
    const std::vector<SetpointDifference> differences = CompareSetpoints(compared_->values, now);
    std::vector<std::string> lines;
    std::vector<bool> differs(kSetpointCount, false);
    for (const SetpointDifference& d : differences) {
        lines.push_back(DifferenceText(d, separator));
        differs[d.reg - kFirstSetpointRegister] = true;
    }
    for (int i = 0; i < kSetpointCount; ++i) {
        const SetpointField& field = kSetpointFields[i];
        const QString saved = differs[i] ? QString::fromUtf8("файл: %1").arg(QString::fromStdString(
                                               ComparedText(field, compared_->values[i], now[i], separator)))
                                         : QString();
        if (saved_[i]->text() != saved) {
            saved_[i]->setText(saved);
            edits_[i]->setStyleSheet(differs[i] ? QStringLiteral("QLineEdit { background: #ffd0d0; }") : QString());
        }
    }
    summary_->setText(QString::fromUtf8("Сравнение с «%1»: %2")
                          .arg(comparedFile_, QString::fromStdString(ComparisonSummary(differences.size()))));
    if (lines != shownDifferences_) {
        differences_->clear();
        for (const std::string& line : lines)
            differences_->addItem(QString::fromStdString(line));
        shownDifferences_ = std::move(lines);
    }
}

void TfrmSettings::Button1Click()
{
    hide();
}
