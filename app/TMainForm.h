#pragma once

#include "LedPictures.h"
#include "LogMirror.h"
#include "PortProblem.h"
#include "RelayChoice.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

class DeviceLink;
class ExchangeJournal;
class EventLog;
class ExchangeLog;
class Measurements;
class Recording;
class TIniFile;
class TrendHistory;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTimer;
class Transport;
class TDeviceControl;
class TModBusDevice;
class SetpointFiles;
class WindowPublishing;
struct CommSettings;

// The main window: owns the device link and shows what the poll thread reads.
class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Build and dismantle the link from the configuration file; the settings
    // dialog's OK rebuilds it with these two.
    void CreateLink();
    void FreeLink();

    TIniFile* Config() const { return IniFile.get(); }
    Transport* Port() const;
    TModBusDevice* Master() const;
    TDeviceControl* Poller() const;
    ::ExchangeLog* Log() const;
    // The record on disk of every exchange; none when JOURNALDIR is empty.
    ExchangeJournal* Journal() const { return journal_.get(); }
    QString StatusText() const;
    QString LinkHealth() const;
    // The MQTT connection's last change, as the status bar shows it.
    QString MqttState() const;

    // The status bar's polling text, from the poll thread's state.
    void ShowPollingState();
    // Writes the log's lines before the memo's first (from disk) and then the
    // memo's lines to a file as the log's own text: Windows-1251, every line
    // ended by CR LF. False when cancelled, or with an error box when it cannot.
    bool SaveLogTo(const QString& fileName);
    // A non-blocking error box over the main window.
    void ShowError(const QString& text);
    // Records every accepted poll to the file from now on; false, with an
    // error box, when the file cannot be written.
    bool StartRecording(const QString& fileName);
    const Recording& CurrentRecording() const;
    const TrendHistory& Trends() const;
    QWidget* TrendsWindow() const;
    QWidget* EventsWindow() const;
    const EventLog& Events() const;
    QWidget* RelaysWindow() const;

    // The line's relays as the configuration lists them; the main window,
    // its commands and the trends are the shown one's.
    const RelayList& Relays() const { return relayChoice_->Relays(); }
    std::size_t ShownRelay() const { return relayChoice_->Shown(); }
    void ShowRelay(std::size_t unit);

    // The shown relay's setpoints to a snapshot file, compared with one, or
    // in a PDF report; false, with the reason shown, when not done. A
    // snapshot of another relay is compared only once the operator agrees
    // (false until then); showing another relay ends the comparison.
    bool SaveSetpointsTo(const QString& fileName);
    bool CompareSetpointsWith(const QString& fileName);
    bool WriteSetpointReport(const QString& fileName);

public slots:
    void Timer1Timer();
    void N5Click();   // start polling
    void N7Click();   // stop polling
    void N1Click();   // exit
    void N4Click();   // communication settings
    void N9Click();   // save the log
    void N10Click();  // clear the log
    void miSettingsShowClick();
    void miSettingsSaveClick();
    void miSettingsCompareClick();
    void miSettingsReportClick();
    void RL11Click();
    void RL21Click();
    void RL31Click();
    void RL41Click();
    void N6Click();   // acknowledge
    void Button1Click();  // send the typed request
    void miTrendsShowClick();
    void miEventsShowClick();
    void miRecordStartClick();
    void miRecordStopClick();
    void miRelaysShowClick();
    // The settings dialog's OK: free the link, write the file, build it anew.
    void ApplySettings(const CommSettings& chosen);

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    static constexpr const char* kPollingOn = "Режим опроса - запущено";
    static constexpr const char* kPollingOff = "Режим опроса - остановлено";

    void FormCreate();
    void FormClose();
    void BuildControls();
    void BuildMenu();
    void LayoutBoxes();
    // The status display, from the register image.
    void Refresh();
    void ReportMissingBitmap(const QString& fileName);
    void ShowLinkHealth();
    void ShowJournalHealth();
    // At the close, after the last try: the journal's lines and the events
    // still unwritten, in a box and in a file beside the journal's folder.
    void ReportUnwritten();
    void ShowLogWindow();
    // Opens the journal that JOURNALDIR names, unless it is open already.
    void OpenJournal(const std::string& folder);
    void PulseRelay(uint16_t coil);
    // A command of the operator to the shown relay, after the polls before
    // it, in the events.
    void OperatorEvent(const std::string& what, const std::string& state = {});

    QWidget* client_ = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QGroupBox* GroupBox5 = nullptr;
    QGroupBox* GroupBox6 = nullptr;
    QGroupBox* GroupBox7 = nullptr;
    QLineEdit* edNetAddress = nullptr;
    QLineEdit* edSpeed = nullptr;
    QLineEdit* edIA = nullptr;
    QLineEdit* edIB = nullptr;
    QLineEdit* edIC = nullptr;
    QLineEdit* ed3I0 = nullptr;
    QLineEdit* edLastKZ = nullptr;
    QLabel* indicators_[12] = {};
    QPlainTextEdit* logMemo = nullptr;
    QLabel* lblLogWindow = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    class QCheckBox* cbAppendCRC = nullptr;
    QLabel* statusPanel_ = nullptr;
    QLabel* linkPanel_ = nullptr;
    QLabel* journalPanel_ = nullptr;
    QTimer* Timer1 = nullptr;

    LedPictures leds_;
    std::unique_ptr<LogMirror> mirror_;
    Measurements* measurements_ = nullptr;
    // What the health panel shows now: polls, answers, timeouts, rejections,
    // exceptions, last answered, echo, recording.
    std::optional<std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, bool, bool, bool>> shownHealth_;
    PortProblem shownProblem_;
    std::vector<std::string> portsNow_;  // for a port not found: the ports there were then
    uint64_t reportedJournalFailures_ = 0;

    std::unique_ptr<TIniFile> IniFile;
    // Outlives every link whose log writes to it.
    std::unique_ptr<ExchangeJournal> journal_;
    std::unique_ptr<DeviceLink> link_;

    RelayChoice* relayChoice_ = nullptr;
    SetpointFiles* setpointFiles_ = nullptr;
    WindowPublishing* publishing_ = nullptr;
};
