// The main window's controls and menu, placed as the operator knows them;
// the window's behaviour is in TMainForm.cpp.

#include "TMainForm.h"

#include "LogMirror.h"
#include "Measurements.h"
#include "RelayRegisters.h"
#include "SetpointFiles.h"
#include "WindowPublishing.h"

#include <QCheckBox>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kLeftWidth = 209;
constexpr int kMiddleWidth = 185;
constexpr int kRightMinWidth = 558;

QLineEdit* AddEdit(QWidget* parent, const char* name, int x, int y, int width = 80)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setGeometry(x, y, width, 22);
    return edit;
}

void AddLabel(QWidget* parent, const char* text, int x, int y, int width = 100)
{
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setGeometry(x, y, width, 16);
}

QGroupBox* AddBox(QWidget* parent, const char* name, const char* caption)
{
    auto* box = new QGroupBox(QString::fromUtf8(caption), parent);
    box->setObjectName(name);
    return box;
}

} // namespace

void TMainForm::BuildControls()
{
    client_ = new QWidget(this);
    setCentralWidget(client_);

    GroupBox1 = AddBox(client_, "GroupBox1", "Информация об устройстве");
    AddLabel(GroupBox1, "Сетевой адрес", 8, 24);
    edNetAddress = AddEdit(GroupBox1, "edNetAddress", 110, 20);
    AddLabel(GroupBox1, "Скорость", 8, 52);
    AddLabel(GroupBox1, "обмена", 8, 66);
    edSpeed = AddEdit(GroupBox1, "edSpeed", 110, 54);

    GroupBox7 = AddBox(client_, "GroupBox7", "Управление");
    struct Command {
        const char* name;
        const char* caption;
        void (TMainForm::*handler)();
    };
    const Command commands[] = {
        {"Button2", "RL1", &TMainForm::RL11Click},
        {"Button3", "RL2", &TMainForm::RL21Click},
        {"Button4", "RL3", &TMainForm::RL31Click},
        {"Button5", "RL4", &TMainForm::RL41Click},
        {"Button6", "Квитирование", &TMainForm::N6Click},
    };
    int row = 0;
    for (const Command& c : commands) {
        auto* button = new QPushButton(QString::fromUtf8(c.caption), GroupBox7);
        button->setObjectName(c.name);
        button->setGeometry(40, 22 + 30 * row++, 120, 25);
        connect(button, &QPushButton::clicked, this, c.handler);
    }

    GroupBox4 = AddBox(client_, "GroupBox4", "Состояние дискретных входов");
    GroupBox3 = AddBox(client_, "GroupBox3", "Измерения");
    AddLabel(GroupBox3, "Ток фазы А", 8, 28, 94);
    edIA = AddEdit(GroupBox3, "edIA", 104, 24, 68);
    AddLabel(GroupBox3, "Ток фазы B", 8, 58, 94);
    edIB = AddEdit(GroupBox3, "edIB", 104, 54, 68);
    AddLabel(GroupBox3, "Ток фазы С", 8, 88, 94);
    edIC = AddEdit(GroupBox3, "edIC", 104, 84, 68);
    AddLabel(GroupBox3, "Ток 3Io", 8, 118, 94);
    ed3I0 = AddEdit(GroupBox3, "ed3I0", 104, 114, 68);
    AddLabel(GroupBox3, "Последнее", 8, 146, 94);
    AddLabel(GroupBox3, "срабатывание", 8, 160, 94);
    AddLabel(GroupBox3, "Iкз", 8, 174, 94);
    edLastKZ = AddEdit(GroupBox3, "edLastKZ", 104, 156, 68);

    GroupBox2 = AddBox(client_, "GroupBox2", "Состояние светодиодов");
    int led = 0, input = 0;
    for (int i = 0; i < 12; ++i) {
        const Indicator& ind = kIndicators[i];
        QGroupBox* box = ind.reg == 5 ? GroupBox2 : GroupBox4;
        const int row = ind.reg == 5 ? led++ : input++;
        auto* image = new QLabel(box);
        image->setObjectName(ind.control);
        image->setGeometry(10, 22 + 26 * row, 17, 17);
        auto* caption = new QLabel(QString::fromUtf8(ind.caption), box);
        caption->setGeometry(34, 22 + 26 * row, 150, 17);
        indicators_[i] = image;
    }

    GroupBox5 = AddBox(client_, "GroupBox5", "Произвольный запрос");
    auto* label24 = new QLabel(QString::fromUtf8("Данные (HEX)"), GroupBox5);
    label24->setObjectName("Label24");
    Memo1 = new QPlainTextEdit(GroupBox5);
    Memo1->setObjectName("Memo1");
    cbAppendCRC = new QCheckBox(QString::fromUtf8("Дополнять CRC"), GroupBox5);
    cbAppendCRC->setObjectName("cbAppendCRC");
    auto* send = new QPushButton(QString::fromUtf8("Отправить"), GroupBox5);
    send->setObjectName("Button1");
    connect(send, &QPushButton::clicked, this, &TMainForm::Button1Click);
    auto* requestLayout = new QGridLayout(GroupBox5);
    requestLayout->addWidget(label24, 0, 0);
    requestLayout->addWidget(Memo1, 1, 0, 3, 1);
    requestLayout->addWidget(cbAppendCRC, 1, 1);
    requestLayout->addWidget(send, 2, 1);
    requestLayout->setColumnStretch(0, 1);
    requestLayout->setRowStretch(3, 1);
    GroupBox6 = AddBox(client_, "GroupBox6", "Журнал сообщений");
    logMemo = new QPlainTextEdit(GroupBox6);
    logMemo->setObjectName("logMemo");
    logMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    logMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    logMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // A line is its time, a tab and its text: with the first stop past the
    // widest time, a short time ("19:07:43:8") reaches the same stop as a
    // long one and every text starts in one column.
    const QFontMetricsF metrics(logMemo->font());
    logMemo->setTabStopDistance(metrics.horizontalAdvance("23:59:59:999") + metrics.horizontalAdvance(' '));
    // Says, outside the memo's text, that older lines exist and where.
    lblLogWindow = new QLabel(GroupBox6);
    lblLogWindow->setObjectName("lblLogWindow");
    lblLogWindow->setWordWrap(true);
    lblLogWindow->hide();
    auto* logLayout = new QVBoxLayout(GroupBox6);
    logLayout->addWidget(lblLogWindow);
    logLayout->addWidget(logMemo);
    mirror_ = std::make_unique<LogMirror>(logMemo);

    statusBar()->setObjectName("StatusBar");
    statusPanel_ = new QLabel(QString::fromUtf8(kPollingOff));
    statusPanel_->setObjectName("StatusPanel0");
    statusPanel_->setFixedWidth(250);
    statusBar()->addWidget(statusPanel_);
    linkPanel_ = new QLabel;
    linkPanel_->setObjectName("LinkPanel");
    statusBar()->addWidget(linkPanel_, 1);
    journalPanel_ = new QLabel;
    journalPanel_->setObjectName("JournalPanel");
    journalPanel_->setStyleSheet("color: #b00000");
    journalPanel_->hide();
    statusBar()->addWidget(journalPanel_);
    publishing_ = new WindowPublishing(statusBar());
    connect(publishing_, &WindowPublishing::failed, this, &TMainForm::ShowError);
    measurements_ = new Measurements(this);
    connect(measurements_, &Measurements::recordingFailed, this, &TMainForm::ShowError);
    connect(measurements_, &Measurements::eventFileFailed, this, &TMainForm::ShowError);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(500);
    connect(Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    Timer1->start();
}

void TMainForm::BuildMenu()
{
    QMenuBar* menu = menuBar();
    menu->setObjectName("MainMenu1");
    auto addItem = [this](QMenu* parent, const char* name, const char* caption, auto handler) {
        QAction* action = parent->addAction(QString::fromUtf8(caption));
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    QMenu* file = menu->addMenu(QString::fromUtf8("Файл"));
    file->setObjectName("File1");
    addItem(file, "N1", "Выход", &TMainForm::N1Click);
    QMenu* settings = menu->addMenu(QString::fromUtf8("Настройки"));
    settings->setObjectName("N2");
    addItem(settings, "N4", "Параметры связи...", &TMainForm::N4Click);
    addItem(settings, "N5", "Начать опрос", &TMainForm::N5Click);
    addItem(settings, "N7", "Остановить опрос", &TMainForm::N7Click);
    QMenu* control = menu->addMenu(QString::fromUtf8("Управление"));
    control->setObjectName("N3");
    addItem(control, "RL11", "RL1", &TMainForm::RL11Click);
    addItem(control, "RL21", "RL2", &TMainForm::RL21Click);
    addItem(control, "RL31", "RL3", &TMainForm::RL31Click);
    addItem(control, "RL41", "RL4", &TMainForm::RL41Click);
    addItem(control, "N6", "Квитирование", &TMainForm::N6Click);
    QMenu* log = menu->addMenu(QString::fromUtf8("Журнал сообщений"));
    log->setObjectName("N8");
    addItem(log, "N9", "Сохранить...", &TMainForm::N9Click);
    addItem(log, "N10", "Очистить", &TMainForm::N10Click);
    QMenu* setpoints = menu->addMenu(QString::fromUtf8("Уставки"));
    setpoints->setObjectName("N11");
    addItem(setpoints, "miSettingsShow", "Показать уставки...", &TMainForm::miSettingsShowClick);
    addItem(setpoints, "miSettingsSave", "Сохранить уставки...", &TMainForm::miSettingsSaveClick);
    addItem(setpoints, "miSettingsCompare", "Сравнить с файлом...", &TMainForm::miSettingsCompareClick);
    addItem(setpoints, "miSettingsReport", "Отчёт PDF...", &TMainForm::miSettingsReportClick);
    QMenu* measurements = menu->addMenu(QString::fromUtf8("Измерения"));
    measurements->setObjectName("N12");
    addItem(measurements, "miTrendsShow", "Тренды...", &TMainForm::miTrendsShowClick);
    addItem(measurements, "miEventsShow", "События...", &TMainForm::miEventsShowClick);
    addItem(measurements, "miRecordStart", "Начать запись...", &TMainForm::miRecordStartClick);
    addItem(measurements, "miRecordStop", "Остановить запись", &TMainForm::miRecordStopClick);
    addItem(measurements, "miRelaysShow", "Все реле...", &TMainForm::miRelaysShowClick);
    // The line's relays to show, when it has more than one.
    QMenu* relays = menu->addMenu(QString::fromUtf8("Реле"));
    relays->setObjectName("N13");
    relayChoice_ = new RelayChoice(relays, this);
    connect(relayChoice_, &RelayChoice::chosen, this, &TMainForm::ShowRelay);
    setpointFiles_ = new SetpointFiles(this, *relayChoice_, [this] { return Poller(); });
    connect(setpointFiles_, &SetpointFiles::failed, this, &TMainForm::ShowError);
    connect(setpointFiles_, &SetpointFiles::done, this, [this](const std::string& what) { OperatorEvent(what); });
}

void TMainForm::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    LayoutBoxes();
}

// Three columns; only the right one grows with the window.
void TMainForm::LayoutBoxes()
{
    const int height = client_->height();
    const int right = std::max(kRightMinWidth, client_->width() - kLeftWidth - kMiddleWidth) - 8;
    const int x2 = kLeftWidth;
    const int x3 = kLeftWidth + kMiddleWidth;
    GroupBox1->setGeometry(4, 4, kLeftWidth - 8, 90);
    GroupBox7->setGeometry(4, 98, kLeftWidth - 8, 180);
    GroupBox4->setGeometry(4, 282, kLeftWidth - 8, height - 286);
    GroupBox3->setGeometry(x2, 4, kMiddleWidth - 4, 210);
    GroupBox2->setGeometry(x2, 218, kMiddleWidth - 4, height - 222);
    GroupBox5->setGeometry(x3, 4, right, 200);
    GroupBox6->setGeometry(x3, 208, right, height - 212);
}

