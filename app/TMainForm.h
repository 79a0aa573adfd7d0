#pragma once

#include "LedPictures.h"
#include "LogMirror.h"
#include "Measurements.h"

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>

class ExchangeJournal;
class ExchangeLog;
class TIniFile;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QTimer;
class TCOMPort;
class TDeviceControl;
class TModBusDevice;

// The main window: owns the device link and shows what the poll thread reads.
class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // Build and dismantle the link from the configuration file; the settings
    // dialog rebuilds it with these two.
    void CreateLink();
    void FreeLink();

    TIniFile* Config() const { return IniFile.get(); }
    TCOMPort* Port() const { return ComPort.get(); }
    TModBusDevice* Master() const { return ModBus.get(); }
    TDeviceControl* Poller() const { return DeviceControl.get(); }
    ::ExchangeLog* Log() const { return ExchangeLog.get(); }
    // The record on disk of every exchange; none when JOURNALDIR is empty.
    ExchangeJournal* Journal() const { return journal_.get(); }
    QString StatusText() const;

    // The status bar's polling text, from the poll thread's state.
    void ShowPollingState();
    // Writes the log's lines before the memo's first (from disk) and then
    // the memo's lines to a file as the log's own text: Windows-1251, every
    // line ended by CR LF. A long save shows its progress and can be
    // cancelled. False when cancelled, or with an error box when it cannot.
    bool SaveLogTo(const QString& fileName);
    // A non-blocking error box over the main window.
    void ShowError(const QString& text);
    // Records every accepted poll to the file from now on; false, with an
    // error box, when the file cannot be written.
    bool StartRecording(const QString& fileName);
    const Recording& CurrentRecording() const { return recording_; }
    const TrendHistory& Trends() const { return trends_; }
    QWidget* TrendsWindow() const;
    QString LinkHealth() const;

public slots:
    void Timer1Timer();
    void N5Click();   // start polling
    void N7Click();   // stop polling
    void N1Click();   // exit
    void N4Click();   // communication settings
    void N9Click();   // save the log
    void N10Click();  // clear the log
    void miSettingsShowClick();
    void RL11Click();
    void RL21Click();
    void RL31Click();
    void RL41Click();
    void N6Click();   // acknowledge
    void Button1Click();  // send the typed request
    void miTrendsShowClick();
    void miRecordStartClick();
    void miRecordStopClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void BuildControls();
    void BuildMenu();
    void LayoutBoxes();
    // The status display, from the register image.
    void Refresh();
    void ReportMissingBitmap(const QString& fileName);
    // The accepted polls since the last tick: into the trends and the recording.
    void TakeMeasurements();
    void ShowLinkHealth();
    void ShowJournalHealth();
    void ShowLogWindow();
    // Opens the journal that JOURNALDIR names, unless it is open already.
    void OpenJournal(const std::string& folder);
    void PulseRelay(uint16_t coil);
    // Runs an exchange of the UI thread with the poll thread kept off the
    // line, and puts polling back as it was.
    template <typename Exchange>
    void WithPollingPaused(Exchange exchange);

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
    QPlainTextEdit* Memo1 = nullptr;
    class QCheckBox* cbAppendCRC = nullptr;
    QLabel* statusPanel_ = nullptr;
    QLabel* linkPanel_ = nullptr;
    QLabel* journalPanel_ = nullptr;
    QLabel* lblLogWindow = nullptr;
    class TfrmTrends* trendsForm_ = nullptr;
    QTimer* Timer1 = nullptr;

    LedPictures leds_;
    std::unique_ptr<LogMirror> mirror_;
    TrendHistory trends_;
    Recording recording_;
    // What the health panel shows now: polls, answers, timeouts, rejections,
    // last answered, recording.
    std::optional<std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, bool, bool>> shownHealth_;
    uint64_t reportedJournalFailures_ = 0;

    // Outlives every exchange log that writes to it.
    std::unique_ptr<ExchangeJournal> journal_;
    // The link, in the order it is released backwards.
    std::unique_ptr<TCOMPort> ComPort;
    std::unique_ptr<TModBusDevice> ModBus;
    std::unique_ptr<TDeviceControl> DeviceControl;
    std::unique_ptr<TIniFile> IniFile;
    std::unique_ptr<::ExchangeLog> ExchangeLog;
};
