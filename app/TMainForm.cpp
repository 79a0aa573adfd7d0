#include "TMainForm.h"

#include "Cp1251Qt.h"
#include "CursorBlink.h"
#include "DecimalSeparator.h"
#include "DeviceLink.h"
#include "ExchangeJournal.h"
#include "Forms.h"
#include "HexRequest.h"
#include "LinkConfig.h"
#include "LogSave.h"
#include "Measurements.h"
#include "ModbusFrame.h"
#include "RelayChoice.h"
#include "RelayCommands.h"
#include "RelayRegisters.h"
#include "SetpointFiles.h"
#include "TCOMPort.h"
#include "TIniFile.h"
#include "TSettingsForm.h"
#include "TfrmEvents.h"
#include "TfrmSettings.h"
#include "TfrmTrends.h"
#include "WindowPublishing.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>

#include <filesystem>

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

void TMainForm::FormCreate()
{
    IniFile = std::make_unique<TIniFile>(kConfigFileName);
    CreateLink();
}

void TMainForm::FormClose()
{
    if (link_)
        FreeLink();
    IniFile.reset();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    FormClose();
    Timer1->stop();
    ReportUnwritten();
    event->accept();
}

void TMainForm::CreateLink()
{
    const LinkConfig config = ReadLinkConfig(*IniFile);
    std::string rs485Problem;
    LinkSettings settings = ToLinkSettings(config, &rs485Problem);
    if (!rs485Problem.empty())
        ShowError(QString::fromUtf8("Параметр %1. Направление RS-485 не переключается.")
                      .arg(QString::fromStdString(rs485Problem)));
    relayChoice_->Read(*IniFile, config.SlaveAddress());
    settings.relays = PolledAddresses(relayChoice_->Relays());
    setpointFiles_->SetLine(settings);
    // The file is Windows-1251; a path typed there must reach the system in
    // its own file-name encoding.
    settings.portName = QFile::encodeName(FromCp1251(settings.portName)).toStdString();
    const LogConfig logConfig = ReadLogConfig(*IniFile);
    OpenJournal(logConfig.journalDir);
    mirror_->SetMaxLines(static_cast<std::size_t>(logConfig.memoLines));
    link_ = std::make_unique<DeviceLink>(settings, journal_.get());
    // A new link's panel is written afresh, even where its counts are the old one's.
    shownHealth_.reset();
    if (!link_->PortError().empty())
        ShowError(QString::fromUtf8("Порт «%1» не открыт: %2.")
                      .arg(QFile::decodeName(QByteArray::fromStdString(settings.portName)),
                           QString::fromStdString(link_->PortError())));
    if (const QString problems = relayChoice_->NewProblems(); !problems.isEmpty())
        ShowError(problems);
    measurements_->SetRelays(relayChoice_->Names());
    ShowRelay(relayChoice_->Shown());
    publishing_->Start(*IniFile, relayChoice_->Relays(), settings.pollIntervalMs,
                       journal_ ? std::optional<std::filesystem::path>(journal_->Folder()) : std::nullopt);
}

QString TMainForm::MqttState() const
{
    return publishing_->State();
}

void TMainForm::ShowRelay(std::size_t unit)
{
    if (!relayChoice_->Show(unit))
        return;
    setpointFiles_->RelayShown(relayChoice_->ShownAddress());
    setWindowTitle(relayChoice_->Caption());
    measurements_->ShowRelay(unit);
    if (!link_)
        return;
    // The relay's own values at once, and its own counts; none for a relay
    // not heard yet, rather than another relay's or zeros.
    if (relayChoice_->Several()) {
        Refresh();
        if (link_->Poller().Stats(unit).answered == 0)
            for (QLineEdit* edit : {edNetAddress, edSpeed, edIA, edIB, edIC, ed3I0, edLastKZ})
                edit->clear();
    }
    shownHealth_.reset();
    ShowLinkHealth();
}

QWidget* TMainForm::RelaysWindow() const
{
    return relayChoice_->Overview();
}

void TMainForm::miRelaysShowClick()
{
    relayChoice_->ShowOverview(Poller());
}

void TMainForm::FreeLink()
{
    publishing_->Stop();
    // The last polls still become events and trends: a trip among them too.
    link_->Poller().StopPolling();
    measurements_->Take(link_->Poller().TakeSamples());
    link_.reset();
}

Transport* TMainForm::Port() const
{
    return link_ ? &link_->Port() : nullptr;
}

TModBusDevice* TMainForm::Master() const
{
    return link_ ? &link_->Master() : nullptr;
}

TDeviceControl* TMainForm::Poller() const
{
    return link_ ? &link_->Poller() : nullptr;
}

::ExchangeLog* TMainForm::Log() const
{
    return link_ ? &link_->Log() : nullptr;
}

void TMainForm::OpenJournal(const std::string& folder)
{
    if (folder.empty()) {
        journal_.reset();
        measurements_->SetEventFolder(std::nullopt);
        return;
    }
    // A relative folder lies beside the configuration file.
    std::filesystem::path path = FromCp1251(folder).toStdU16String();
    if (path.is_relative())
        path = std::filesystem::path(IniFile->Path()).parent_path() / path;
    if (journal_ && journal_->Folder() == path)
        return;
    journal_ = std::make_unique<ExchangeJournal>(path);
    reportedJournalFailures_ = 0;
    measurements_->SetEventFolder(path);
}

QString TMainForm::StatusText() const
{
    return statusPanel_->text();
}

void TMainForm::Timer1Timer()
{
    if (!link_)
        return;
    if (link_->Poller().IsPolling())
        Refresh();
    measurements_->Take(link_->Poller().TakeSamples());
    relayChoice_->Tick(link_->Poller());
    publishing_->Tick(link_->Poller(), measurements_->Events().Written());
    ShowLinkHealth();
    ShowJournalHealth();
    mirror_->Update(link_->Log());
    ShowLogWindow();
    logMemo->verticalScrollBar()->setValue(logMemo->verticalScrollBar()->maximum());
}

void TMainForm::Refresh()
{
    const RegisterImage& regs = link_->Poller().Image(relayChoice_->Shown());
    const std::string separator = DecimalSeparator();
    auto current = [&](int reg) {
        return QString::fromStdString(FormatMeasuredCurrent(regs.Get(reg), separator));
    };
    edSpeed->setText(QString::fromStdString(SpeedCodeText(regs.Get(relay::kSpeedCode))));
    edNetAddress->setText(QString::number(regs.Get(relay::kNetAddress)));
    edIA->setText(current(relay::kPhaseA));
    edIB->setText(current(relay::kPhaseB));
    edIC->setText(current(relay::kPhaseC));
    ed3I0->setText(current(relay::kResidual));
    edLastKZ->setText(current(relay::kLastTrip));

    leds_.Reload();
    // Each register once, so the pictures of one register always agree.
    const uint16_t ledBits = regs.Get(relay::kLeds);
    const uint16_t inputBits = regs.Get(relay::kInputs);
    for (int i = 0; i < 12; ++i) {
        const Indicator& ind = kIndicators[i];
        const QPixmap& picture = leds_.Picture(ind.green, ind.Lit(inputBits, ledBits));
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
                                QString::fromUtf8("Не удалось загрузить рисунок «%1» ни из рабочей папки, ни из установленных. "
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
    statusPanel_->setText(QString::fromUtf8(link_ && link_->Poller().IsPolling() ? kPollingOn : kPollingOff));
}

void TMainForm::N5Click()
{
    TDeviceControl& poller = link_->Poller();
    if (!poller.IsPolling()) {
        poller.ResetStats();  // the counts run from the operator's start
        measurements_->Take(poller.TakeSamples());
        measurements_->PollingStarted();
    }
    poller.StartPolling();
    ShowPollingState();
}

void TMainForm::N7Click()
{
    const bool wasPolling = link_->Poller().IsPolling();
    link_->Poller().StopPolling();
    ShowPollingState();
    if (wasPolling) {
        measurements_->Take(link_->Poller().TakeSamples());
        measurements_->OperatorEvent("Остановить опрос");
    }
}

void TMainForm::OperatorEvent(const std::string& what, const std::string& state)
{
    measurements_->Take(link_->Poller().TakeSamples());
    measurements_->RelayCommandEvent(what, state);
}

void TMainForm::PulseRelay(uint16_t coil)
{
    const std::string relay = "RL" + std::to_string(coil);
    PulseOutcome pulse = PulseCoil(*link_, relayChoice_->ShownAddress(), coil);
    if (pulse.mayStayOn) {
        ShowError(QString::fromUtf8("Выключение %1 не подтверждено (%2): %1 может остаться включённым.")
                      .arg(QString::fromStdString(relay), QString::fromStdString(pulse.outcome)));
        pulse.outcome = relay + " может остаться включённым";
    }
    OperatorEvent("Импульс " + relay, pulse.outcome);
}

void TMainForm::RL11Click() { PulseRelay(1); }
void TMainForm::RL21Click() { PulseRelay(2); }
void TMainForm::RL31Click() { PulseRelay(3); }
void TMainForm::RL41Click() { PulseRelay(4); }

void TMainForm::N6Click()
{
    OperatorEvent("Квитирование", RelayCommand(*link_, relayChoice_->ShownAddress(), [](TModBusDevice& master) {
                      master.WriteCoil(relay::kAcknowledgeCoil, true);
                  }));
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
    const bool crc = cbAppendCRC->isChecked();
    const std::string outcome = RelayCommand(*link_, relayChoice_->ShownAddress(),
                                             [&](TModBusDevice& master) { master.SendRaw(request.bytes, crc, 1000); });
    OperatorEvent(modbus::FormatFrame("Произвольный запрос", request.bytes) + (crc ? "+ CRC" : ""), outcome);
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
    const ::ExchangeLog& log = link_->Log();
    // The lines before the memo's first belong to the memo's run of the log only.
    const std::size_t earlier = log.Epoch() == mirror_->Epoch() ? mirror_->EarlierLines() : 0;
    // Ticks during the save leave the memo as it is, its first line still after the earlier ones.
    const LogMirror::Hold hold(*mirror_);
    LogSave save(log, earlier, *logMemo->document());
    const LogSave::Result result = save.WriteTo(fileName, this);
    if (result == LogSave::Result::Failed)
        ShowError(QString::fromUtf8("Не удалось сохранить журнал в «%1»: %2").arg(fileName, save.Error()));
    return result == LogSave::Result::Saved;
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
    link_->Log().Clear();
}

void TMainForm::N4Click()
{
    if (!SettingsForm)
        return;
    CommSettings current = ReadCommSettings(*IniFile);
    // The port the link uses: a serial port by its name, a network port as given.
    const std::string& name = link_->Port().PortName();
    current.port = dynamic_cast<const TCOMPort*>(&link_->Port())
                       ? QFile::decodeName(QByteArray::fromStdString(TCOMPort::PortNameFromDevicePath(name))).toStdString()
                       : QFile::decodeName(QByteArray::fromStdString(name)).toStdString();
    SettingsForm->SetCurrent(current);
    SettingsForm->show();
    SettingsForm->raise();
    SettingsForm->activateWindow();
}

void TMainForm::N1Click()
{
    close();
}

void TMainForm::miSettingsShowClick() { setpointFiles_->ShowWindow(); }
void TMainForm::miSettingsSaveClick() { setpointFiles_->AskSave(); }
void TMainForm::miSettingsCompareClick() { setpointFiles_->AskCompare(); }
void TMainForm::miSettingsReportClick() { setpointFiles_->AskReport(); }

bool TMainForm::SaveSetpointsTo(const QString& fileName) { return setpointFiles_->SaveTo(fileName); }
bool TMainForm::CompareSetpointsWith(const QString& fileName) { return setpointFiles_->CompareWith(fileName); }
bool TMainForm::WriteSetpointReport(const QString& fileName) { return setpointFiles_->WriteReport(fileName); }

const Recording& TMainForm::CurrentRecording() const
{
    return measurements_->CurrentRecording();
}

const TrendHistory& TMainForm::Trends() const
{
    return measurements_->Trends();
}

QWidget* TMainForm::TrendsWindow() const
{
    return measurements_->TrendsWindow();
}

bool TMainForm::StartRecording(const QString& fileName)
{
    QString error;
    if (!measurements_->StartRecording(fileName, &error)) {
        ShowError(QString::fromUtf8("Не удалось начать запись измерений в «%1»: %2").arg(fileName, error));
        return false;
    }
    ShowLinkHealth();
    return true;
}

void TMainForm::miTrendsShowClick()
{
    QWidget* trends = TrendsWindow();
    trends->show();
    trends->raise();
    trends->activateWindow();
}

QWidget* TMainForm::EventsWindow() const
{
    return measurements_->EventsWindow();
}

const EventLog& TMainForm::Events() const
{
    return measurements_->Events();
}

void TMainForm::miEventsShowClick()
{
    TfrmEvents* events = measurements_->EventsWindow();
    // Shown first, so that following the newest scrolls a laid-out table.
    events->show();
    events->Follow();
    events->raise();
    events->activateWindow();
}

void TMainForm::miRecordStartClick()
{
    // A line of relays writes "name-1.csv" and so on, never the name chosen:
    // the dialog's question would be about the wrong file.
    const QFileDialog::Options options =
        relayChoice_->Several() ? QFileDialog::DontConfirmOverwrite : QFileDialog::Options();
    const QString fileName = QFileDialog::getSaveFileName(this, QString::fromUtf8("Запись измерений"), QString(),
                                                          "CSV files (*.csv)", nullptr, options);
    if (fileName.isEmpty())
        return;
    const std::vector<std::filesystem::path> existing = measurements_->FilesToOverwrite(fileName);
    if (existing.empty()) {
        StartRecording(fileName);
        return;
    }
    QStringList names;
    for (const std::filesystem::path& file : existing)
        names << QDir::toNativeSeparators(QString::fromStdU16String(file.u16string()));
    auto* box = new QMessageBox(QMessageBox::Question, windowTitle(),
                                QString::fromUtf8("Эти файлы уже есть, запись заменит их содержимое:\n%1\n\nПерезаписать?")
                                    .arg(names.join('\n')),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName("RecordOverwriteBox");
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this, fileName](int answer) {
        if (answer == QMessageBox::Yes && link_)
            StartRecording(fileName);
    });
    box->open();
}

void TMainForm::miRecordStopClick()
{
    measurements_->StopRecording();
    ShowLinkHealth();
}

void TMainForm::ApplySettings(const CommSettings& chosen)
{
    // The polls up to the rebuild still count, in the events and trends.
    const bool wasPolling = link_->Poller().IsPolling();
    link_->Poller().StopPolling();
    measurements_->Take(link_->Poller().TakeSamples());
    if (wasPolling)
        measurements_->OperatorEvent("Остановить опрос");
    FreeLink();
    const bool saved = WriteCommSettings(*IniFile, chosen);
    // The timer and the commands need a link, written file or not.
    CreateLink();
    ShowPollingState();
    measurements_->OperatorEvent("Параметры связи", "PORT=" + chosen.port + ", SPEED=" + chosen.speed
                                                        + ", RESPONSETIMEOUT=" + chosen.timeout
                                                        + ", REFRESHINTERVAL=" + chosen.interval);
    if (!saved)
        ShowError(QString::fromUtf8("Не удалось записать параметры в файл «%1». Связь "
                                    "восстановлена с параметрами, которые в нём остались.")
                      .arg(QString::fromStdString(IniFile->Path())));
}
