#include "TfrmSettings.h"

#include "SetpointDecode.h"
#include "TDeviceControl.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
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
            const int column = second ? 2 : 0;
            auto* edit = new QLineEdit(box);
            edit->setObjectName(field.control);
            edit->setReadOnly(true);
            edit->setFixedWidth(110);
            grid->addWidget(new QLabel(QString::fromUtf8(field.label), box), row, column);
            grid->addWidget(edit, row, column + 1);
            edits_[reg - kFirstSetpointRegister] = edit;
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

    auto* close = new QPushButton(QString::fromUtf8("Закрыть"), this);
    close->setObjectName("Button1");
    connect(close, &QPushButton::clicked, this, &TfrmSettings::Button1Click);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(bottom);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed single border
}

void TfrmSettings::UpdateSetpoints(const RegisterImage& image)
{
    const std::string separator = QLocale::system().decimalPoint().toStdString();
    for (int i = 0; i < kSetpointCount; ++i) {
        const SetpointField& field = kSetpointFields[i];
        edits_[i]->setText(QString::fromStdString(DecodeSetpoint(field, image.Get(field.reg), separator)));
    }
}

void TfrmSettings::Button1Click()
{
    hide();
}
