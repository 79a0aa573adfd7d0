#include "TMainForm.h"

#include "Cp1251Qt.h"
#include "CursorBlink.h"
#include "ExchangeJournal.h"
#include "ExchangeLog.h"
#include "Forms.h"
#include "LinkConfig.h"
#include "StatusFormat.h"
#include "TCOMPort.h"
#include "TDeviceControl.h"
#include "TIniFile.h"
#include "TModBusDevice.h"
#include "TSettingsForm.h"
#include "TfrmSettings.h"
#include "HexRequest.h"
#include "TfrmTrends.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QPushButton>
#include <QSaveFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

constexpr int kRegisterCount = 46;
constexpr int kLeftWidth = 209;
constexpr int kMiddleWidth = 185;
constexpr int kRightMinWidth = 558;

const char* const kPollingOn = "Режим опроса - запущено";
const char* const kPollingOff = "Режим опроса - остановлено";

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

std::string DecimalSeparator()
{
    return QLocale::system().decimalPoint().toStdString();
}

} // namespace

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent), leds_([this](const QString& name) { ReportMissingBitmap(name); })
{
    setObjectName("MainForm");
    setWindowTitle(QString::fromUtf8("Zarit монитор"));
    BuildControls();
    BuildMenu();
    resize(977, 549);
    setMinimumSize(977, 549);
    setMaximumHeight(549);
    new CursorBlinkLimit(this);
    FormCreate();
}

TMainForm::~TMainForm()
{
    FormClose();  // when destroyed without being closed first
}

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
    trendsForm_ = new TfrmTrends(trends_, this);

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
    QMenu* measurements = menu->addMenu(QString::fromUtf8("Измерения"));
    measurements->setObjectName("N12");
    addItem(measurements, "miTrendsShow", "Тренды...", &TMainForm::miTrendsShowClick);
    addItem(measurements, "miRecordStart", "Начать запись...", &TMainForm::miRecordStartClick);
    addItem(measurements, "miRecordStop", "Остановить запись", &TMainForm::miRecordStopClick);
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

void TMainForm::FormCreate()
{
    IniFile = std::make_unique<TIniFile>(kConfigFileName);
    CreateLink();
}

void TMainForm::FormClose()
{
    if (DeviceControl)
        FreeLink();
    IniFile.reset();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    FormClose();
    Timer1->stop();
    event->accept();
}

void TMainForm::CreateLink()
{
    const LinkConfig config = ReadLinkConfig(*IniFile);
    // The file is Windows-1251; a path typed there must reach the system in
    // its own file-name encoding.
    const QByteArray port = QFile::encodeName(FromCp1251(config.port));
    ComPort = std::make_unique<TCOMPort>(TCOMPort::DevicePath(port.toStdString()));
    LineSettings line;
    line.baudRate = config.speed;
    line.parity = 0;
    line.stopBits = 0;
    line.byteSize = 8;
    line.readIntervalMs = 100;
    line.readTotalMs = config.responseTimeout;
    // A port that does not open fails every exchange, in the log, until it
    // can be opened again: an adapter plugged in later, or back after it was
    // pulled out, is taken up without the settings dialog.
    ComPort->Open();
    ComPort->Apply(line);
    ComPort->KeepOpen(line);
    const LogConfig logConfig = ReadLogConfig(*IniFile);
    OpenJournal(logConfig.journalDir);
    mirror_->SetMaxLines(static_cast<std::size_t>(logConfig.memoLines));
    ExchangeLog = std::make_unique<::ExchangeLog>();
    ExchangeLog->SetJournal(journal_.get());
    ModBus = std::make_unique<TModBusDevice>();
    ModBus->SetPort(ComPort.get());
    ModBus->SetAddress(config.SlaveAddress());
    ModBus->SetLog(ExchangeLog.get());
    DeviceControl = std::make_unique<TDeviceControl>(kRegisterCount);
    DeviceControl->SetMaster(ModBus.get());
    DeviceControl->SetInterval(config.refreshInterval);
}

void TMainForm::FreeLink()
{
    DeviceControl->StopPolling();
    DeviceControl->Terminate();
    DeviceControl->WaitFor();
    DeviceControl.reset();
    ModBus.reset();
    ComPort->Close();
    ComPort.reset();
    ExchangeLog.reset();
}

void TMainForm::OpenJournal(const std::string& folder)
{
    if (folder.empty()) {
        journal_.reset();
        return;
    }
    // A relative folder lies beside the configuration file.
    std::filesystem::path path = QFile::decodeName(QByteArray::fromStdString(folder)).toStdU16String();
    if (path.is_relative())
        path = std::filesystem::path(IniFile->Path()).parent_path() / path;
    if (journal_ && journal_->Folder() == path)
        return;
    journal_ = std::make_unique<ExchangeJournal>(path);
    reportedJournalFailures_ = 0;
}

QString TMainForm::StatusText() const
{
    return statusPanel_->text();
}

void TMainForm::Timer1Timer()
{
    if (!DeviceControl)
        return;
    if (DeviceControl->IsPolling())
        Refresh();
    TakeMeasurements();
    ShowLinkHealth();
    ShowJournalHealth();
    mirror_->Update(*ExchangeLog);
    ShowLogWindow();
    logMemo->verticalScrollBar()->setValue(logMemo->verticalScrollBar()->maximum());
}

void TMainForm::Refresh()
{
    const TDeviceControl& regs = *DeviceControl;
    const std::string separator = DecimalSeparator();
    auto current = [&](int reg) {
        return QString::fromStdString(FormatMeasuredCurrent(regs.GetRegister(reg), separator));
    };
    edSpeed->setText(QString::fromStdString(SpeedCodeText(regs.GetRegister(44))));
    edNetAddress->setText(QString::number(regs.GetRegister(43)));
    edIA->setText(current(0));
    edIB->setText(current(1));
    edIC->setText(current(2));
    ed3I0->setText(current(3));
    edLastKZ->setText(current(45));

    leds_.Reload();
    // Each register once, so the pictures of one register always agree.
    const uint16_t ledBits = regs.GetRegister(5);
    const uint16_t inputBits = regs.GetRegister(4);
    for (int i = 0; i < 12; ++i) {
        const Indicator& ind = kIndicators[i];
        const bool lit = (((ind.reg == 5 ? ledBits : inputBits) >> ind.bit) & 1) != 0;
        const QPixmap& picture = leds_.Picture(ind.green, lit);
        // A label repaints for every new pixmap, even of the same picture.
        if (indicators_[i]->pixmap().cacheKey() != picture.cacheKey())
            indicators_[i]->setPixmap(picture);
    }

    if (frmSettings && frmSettings->isVisible())
        frmSettings->UpdateSetpoints(regs);
}

void TMainForm::ReportMissingBitmap(const QString& fileName)
{
    auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                QString::fromUtf8("Не удалось загрузить рисунок «%1» из рабочей папки. "
                                                  "Вместо него показан встроенный рисунок.")
                                    .arg(fileName),
                                QMessageBox::Ok, this);
    box->setObjectName("MissingBitmapBox");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void TMainForm::ShowPollingState()
{
    statusPanel_->setText(QString::fromUtf8(DeviceControl && DeviceControl->IsPolling() ? kPollingOn : kPollingOff));
}

void TMainForm::N5Click()
{
    if (!DeviceControl->IsPolling())
        DeviceControl->ResetStats();  // the counts run from the operator's start
    DeviceControl->StartPolling();
    ShowPollingState();
}

void TMainForm::N7Click()
{
    DeviceControl->StopPolling();
    ShowPollingState();
}

template <typename Exchange>
void TMainForm::WithPollingPaused(Exchange exchange)
{
    const bool wasPolling = DeviceControl->IsPolling();
    DeviceControl->StopPolling();
    exchange();
    if (wasPolling)
        DeviceControl->StartPolling();
}

void TMainForm::PulseRelay(uint16_t coil)
{
    WithPollingPaused([&] {
        ModBus->WriteCoil(coil, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ModBus->WriteCoil(coil, false);
    });
}

void TMainForm::RL11Click() { PulseRelay(1); }
void TMainForm::RL21Click() { PulseRelay(2); }
void TMainForm::RL31Click() { PulseRelay(3); }
void TMainForm::RL41Click() { PulseRelay(4); }

void TMainForm::N6Click()
{
    WithPollingPaused([&] { ModBus->WriteCoil(0, true); });
}

void TMainForm::Button1Click()
{
    std::vector<std::string> lines;
    for (const QString& line : Memo1->toPlainText().split('\n'))
        lines.push_back(line.toStdString());
    const HexRequest request = ParseHexLines(std::move(lines));
    if (!request.Ok()) {
        ShowError(QString::fromUtf8("Запрос не отправлен. Строка %1: %2.")
                      .arg(request.errorLine)
                      .arg(QString::fromStdString(request.error)));
        return;
    }
    WithPollingPaused([&] { ModBus->SendRaw(request.bytes, cbAppendCRC->isChecked(), 1000); });
}

void TMainForm::ShowError(const QString& text)
{
    auto* box = new QMessageBox(QMessageBox::Critical, windowTitle(), text, QMessageBox::Ok, this);
    box->setObjectName("ErrorBox");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

bool TMainForm::SaveLogTo(const QString& fileName)
{
    QString text;
    QStringList lines = logMemo->toPlainText().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (const QString& line : lines)
        text += line + "\r\n";
    const QByteArray memoBytes = ToCp1251(text);
    // The lines before the memo's first are in the log's file, and any the
    // file could not take still in memory. Taken now: ticks during the save
    // may move more lines to the file, after these.
    ::ExchangeLog& log = *ExchangeLog;
    const bool sameRun = log.Epoch() == mirror_->Epoch();
    const uint64_t spilled = sameRun ? log.SpilledBytes() : 0;
    const std::string unspilled = sameRun ? log.SavedText(log.FirstInMemory(), mirror_->EarlierLines()) : std::string();

    // Written whole to a temporary file and renamed: a failure leaves any
    // earlier file of that name as it was.
    QSaveFile file(fileName);
    file.setDirectWriteFallback(false);
    auto fail = [&](const QString& why) {
        ShowError(QString::fromUtf8("Не удалось сохранить журнал в «%1»: %2").arg(fileName, why));
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    QProgressDialog progress(QString::fromUtf8("Сохранение журнала..."), QString::fromUtf8("Отмена"), 0, 1000, this);
    progress.setObjectName("SaveProgress");
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(500);
    progress.setValue(0);
    constexpr std::size_t kChunk = std::size_t{4} << 20;
    std::vector<char> buffer(kChunk);
    for (uint64_t done = 0; done < spilled;) {
        const std::size_t got = log.ReadSpilled(done, buffer.data(), std::min<uint64_t>(kChunk, spilled - done));
        if (got == 0)
            return fail(QString::fromUtf8("не удалось прочитать ранние строки журнала"));
        if (file.write(buffer.data(), static_cast<qint64>(got)) != static_cast<qint64>(got))
            return fail(file.errorString());
        done += got;
        progress.setValue(static_cast<int>(done * 1000 / spilled));
        QCoreApplication::processEvents();
        if (progress.wasCanceled()) {
            file.cancelWriting();
            return false;
        }
    }
    if (file.write(unspilled.data(), static_cast<qint64>(unspilled.size())) != static_cast<qint64>(unspilled.size())
        || file.write(memoBytes) != memoBytes.size() || !file.commit())
        return fail(file.errorString());
    return true;
}

void TMainForm::N9Click()
{
    const QString fileName = QFileDialog::getSaveFileName(this, QString(), QString(), "Text files (*.txt)",
                                                          nullptr, QFileDialog::DontConfirmOverwrite);
    if (!fileName.isEmpty())
        SaveLogTo(fileName);
}

void TMainForm::N10Click()
{
    logMemo->clear();
    ExchangeLog->Clear();
}

void TMainForm::N4Click()
{
    if (!SettingsForm)
        return;
    SettingsForm->show();
    SettingsForm->raise();
    SettingsForm->activateWindow();
}

void TMainForm::N1Click()
{
    close();
}

void TMainForm::miSettingsShowClick()
{
    if (!frmSettings)
        return;
    frmSettings->show();
    frmSettings->raise();
    frmSettings->activateWindow();
}

void TMainForm::TakeMeasurements()
{
    const std::vector<PollSample> samples = DeviceControl->TakeSamples();
    const std::string separator = samples.empty() ? std::string() : DecimalSeparator();
    for (const PollSample& sample : samples) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sample.at.time_since_epoch()).count();
        trends_.Add(ms, sample.values);
        if (recording_.Active()
            && !recording_.Write(RecordLine(ToLocalStamp(sample.at), sample.values, separator))) {
            ShowError(QString::fromUtf8("Запись измерений в «%1» остановлена: %2")
                          .arg(QString::fromLocal8Bit(recording_.Path()), QString::fromLocal8Bit(recording_.Error())));
        }
    }
    if (trendsForm_->isVisible())
        trendsForm_->Plot()->Follow(QDateTime::currentMSecsSinceEpoch());
}

QString TMainForm::LinkHealth() const
{
    return linkPanel_->text();
}

void TMainForm::ShowLinkHealth()
{
    const PollStats stats = DeviceControl->Stats();
    // Formatting the text reads the clock's zone; an idle tick skips it.
    const auto shown = std::make_tuple(stats.polls, stats.answered, stats.timeouts, stats.rejected,
                                       stats.lastAnswered, recording_.Active());
    if (shownHealth_ == shown)
        return;
    shownHealth_ = shown;
    TimeOfDayParts last;
    if (stats.answered > 0) {
        const LocalStamp at = ToLocalStamp(stats.lastAnswerAt);
        last = {at.hour, at.minute, at.second};
    }
    QString text = QString::fromStdString(LinkHealthText(stats, last));
    if (recording_.Active())
        text += QString::fromUtf8(" · идёт запись");
    linkPanel_->setText(text);
}

void TMainForm::ShowJournalHealth()
{
    if (!journal_) {
        journalPanel_->hide();
        return;
    }
    const ExchangeJournal::Health health = journal_->State();
    if (!health.failing) {
        journalPanel_->hide();
        return;
    }
    const QString folder = QString::fromStdU16String(journal_->Folder().u16string());
    journalPanel_->setText(QString::fromUtf8("Журнал обмена не пишется"));
    journalPanel_->setToolTip(QString::fromUtf8("«%1»: %2").arg(folder, QString::fromStdString(health.error)));
    journalPanel_->show();
    // Once for each time it starts failing, not at every tick.
    if (health.failures > reportedJournalFailures_) {
        reportedJournalFailures_ = health.failures;
        ShowError(QString::fromUtf8("Журнал обмена не удаётся записать в папку «%1»: %2. Опрос продолжается; "
                                    "запись будет повторяться, строки пока хранятся в памяти.")
                      .arg(folder, QString::fromStdString(health.error)));
    }
}

void TMainForm::ShowLogWindow()
{
    const std::size_t earlier = mirror_->EarlierLines();
    if (earlier == 0) {
        lblLogWindow->hide();
        return;
    }
    QString where = QString::fromUtf8("хранятся во временном файле");
    if (journal_)
        where = QString::fromUtf8("есть в журнале обмена в папке «%1» и во временном файле")
                    .arg(QString::fromStdU16String(journal_->Folder().u16string()));
    lblLogWindow->setText(QString::fromUtf8("Показаны последние %1 строк. Более ранние (%2) %3; "
                                            "«Сохранить...» записывает все строки.")
                              .arg(mirror_->MemoLineCount())
                              .arg(earlier)
                              .arg(where));
    lblLogWindow->show();
}

QWidget* TMainForm::TrendsWindow() const
{
    return trendsForm_;
}

bool TMainForm::StartRecording(const QString& fileName)
{
    const std::string header =
        ToCp1251(QString::fromUtf8("Время;Ia, А;Ib, А;Ic, А;3Io, А;Iкз, А;Светодиоды 1-8;Входы 1-4")).toStdString();
    if (!recording_.Start(QFile::encodeName(fileName).toStdString(), header)) {
        ShowError(QString::fromUtf8("Не удалось начать запись измерений в «%1»: %2")
                      .arg(fileName, QString::fromLocal8Bit(recording_.Error())));
        return false;
    }
    ShowLinkHealth();
    return true;
}

void TMainForm::miTrendsShowClick()
{
    trendsForm_->show();
    trendsForm_->raise();
    trendsForm_->activateWindow();
}

void TMainForm::miRecordStartClick()
{
    const QString fileName = QFileDialog::getSaveFileName(this, QString::fromUtf8("Запись измерений"), QString(),
                                                          "CSV files (*.csv)");
    if (!fileName.isEmpty())
        StartRecording(fileName);
}

void TMainForm::miRecordStopClick()
{
    recording_.Stop();
    ShowLinkHealth();
}
