#pragma once

#include "LedPictures.h"
#include "LogMirror.h"

#include <QMainWindow>

#include <memory>

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
    QString StatusText() const;

public slots:
    void Timer1Timer();
    void N5Click();   // start polling
    void N7Click();   // stop polling
    void N1Click();   // exit
    void miSettingsShowClick();

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
    QLabel* statusPanel_ = nullptr;
    QTimer* Timer1 = nullptr;

    LedPictures leds_;
    std::unique_ptr<LogMirror> mirror_;

    // The link, in the order it is released backwards.
    std::unique_ptr<TCOMPort> ComPort;
    std::unique_ptr<TModBusDevice> ModBus;
    std::unique_ptr<TDeviceControl> DeviceControl;
    std::unique_ptr<TIniFile> IniFile;
    std::unique_ptr<::ExchangeLog> ExchangeLog;
};
