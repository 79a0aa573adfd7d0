#include "TSettingsForm.h"

#include "PortAddress.h"
#include "TCOMPort.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QLabel* Label(const char* name, const char* text, QWidget* parent)
{
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setObjectName(name);
    return label;
}

} // namespace

TSettingsForm::TSettingsForm(QWidget* parent) : QDialog(parent)
{
    setObjectName("SettingsForm");
    setWindowTitle(QString::fromUtf8("Параметры связи"));
    setModal(false);

    auto* portBox = new QGroupBox(QString::fromUtf8("Порт для связи"), this);
    portBox->setObjectName("GroupBox1");
    cbPortName = new QComboBox(portBox);
    cbPortName->setObjectName("cbPortName");
    cbPortName->setEditable(true);
    cbPortName->setInsertPolicy(QComboBox::NoInsert);
    cbPortName->setMinimumWidth(160);
    cbSpeed = new QComboBox(portBox);
    cbSpeed->setObjectName("cbSpeed");
    cbSpeed->setEditable(true);
    cbSpeed->setInsertPolicy(QComboBox::NoInsert);
    cbSpeed->addItems({"9600", "19200", "38400"});
    // The speed is the device server's business on a network port.
    connect(cbPortName, &QComboBox::currentTextChanged, this, [this](const QString& port) {
        const auto address = ParsePortAddress(port.toStdString());
        const bool network = !address || address->IsNetwork();
        cbSpeed->setEnabled(!network);
        cbSpeed->setToolTip(network ? QString::fromUtf8("Для сетевого порта скорость не действует: её задаёт "
                                                        "сервер последовательных портов или шлюз.")
                                    : QString());
    });
    auto* portGrid = new QGridLayout(portBox);
    portGrid->addWidget(Label("Label1", "Имя порта", portBox), 0, 0);
    portGrid->addWidget(cbPortName, 0, 1);
    portGrid->addWidget(Label("Label2", "Скорость", portBox), 1, 0);
    portGrid->addWidget(cbSpeed, 1, 1);

    auto* pollBox = new QGroupBox(QString::fromUtf8("Параметры опроса"), this);
    pollBox->setObjectName("GroupBox2");
    edTimeout = new QLineEdit(pollBox);
    edTimeout->setObjectName("edTimeout");
    edRefreshInterval = new QLineEdit(pollBox);
    edRefreshInterval->setObjectName("edRefreshInterval");
    auto* pollGrid = new QGridLayout(pollBox);
    pollGrid->addWidget(Label("Label3", "Таймаут ответа", pollBox), 0, 0);
    pollGrid->addWidget(edTimeout, 0, 1);
    pollGrid->addWidget(Label("Label4", "мс", pollBox), 0, 2);
    pollGrid->addWidget(Label("Label6", "Интервал опроса", pollBox), 1, 0);
    pollGrid->addWidget(edRefreshInterval, 1, 1);
    pollGrid->addWidget(Label("Label5", "мс", pollBox), 1, 2);

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("Button1");
    auto* cancel = new QPushButton(QString::fromUtf8("Отмена"), this);
    cancel->setObjectName("Button2");
    // Neither is the keyboard's default or cancel button.
    ok->setAutoDefault(false);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &TSettingsForm::Button1Click);
    connect(cancel, &QPushButton::clicked, this, &TSettingsForm::Button2Click);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(portBox);
    layout->addWidget(pollBox);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(cbPortName, cbSpeed);
    setTabOrder(cbSpeed, edTimeout);
    setTabOrder(edTimeout, edRefreshInterval);
    setTabOrder(edRefreshInterval, ok);
    setTabOrder(ok, cancel);
}

void TSettingsForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())  // not when restored from the task bar
        FormShow();
}

void TSettingsForm::FormShow()
{
    FillPortList();
    // The configured speed, so that OK after changing something else keeps
    // it; a speed the list lacks is shown as its first, 9600.
    cbSpeed->setCurrentIndex(std::max(cbSpeed->findText(QString::fromStdString(current_.speed)), 0));
    LoadSettings();
}

void TSettingsForm::FillPortList()
{
    cbPortName->clear();
    // The port the link uses comes first, named from the link itself.
    cbPortName->addItem(QString::fromStdString(current_.port));
    // The list names ports whoever holds them, this link's own too.
    for (const std::string& name : TCOMPort::AvailablePorts())
        if (name != current_.port)
            cbPortName->addItem(QString::fromStdString(name));
    cbPortName->setCurrentIndex(0);
}

void TSettingsForm::LoadSettings()
{
    edTimeout->setText(QString::fromStdString(current_.timeout));
    edRefreshInterval->setText(QString::fromStdString(current_.interval));
}

CommSettings TSettingsForm::SaveSettings() const
{
    return {cbPortName->currentText().toStdString(), cbSpeed->currentText().toStdString(),
            edTimeout->text().toStdString(), edRefreshInterval->text().toStdString()};
}

void TSettingsForm::Button1Click()
{
    const CommSettings chosen = SaveSettings();
    // A network address that does not parse is refused here, before
    // anything is written or opened; the operator can mend it.
    std::string error;
    if (!ParsePortAddress(chosen.port, &error)) {
        auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                    QString::fromUtf8("Имя порта «%1» не подходит: %2.")
                                        .arg(QString::fromStdString(chosen.port), QString::fromStdString(error)),
                                    QMessageBox::Ok, this);
        box->setObjectName("PortNameBox");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    hide();
    emit settingsAccepted(chosen);
}

void TSettingsForm::Button2Click()
{
    hide();
}
