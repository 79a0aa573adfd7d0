#pragma once

#include "CommSettings.h"

#include <QDialog>

class QComboBox;
class QLineEdit;

// "Параметры связи": port, speed, response timeout and poll interval. It
// knows no other window: it is given what to show, and hands back on OK
// what the operator chose (the main window writes it and rebuilds the link).
class TSettingsForm : public QDialog {
    Q_OBJECT

public:
    explicit TSettingsForm(QWidget* parent = nullptr);

    // What the next showing starts from: the port the link uses, and the
    // timeout and interval from the configuration file.
    void SetCurrent(const CommSettings& current) { current_ = current; }
    void FillPortList();
    void LoadSettings();
    // The four inputs as they stand.
    CommSettings SaveSettings() const;

signals:
    void settingsAccepted(const CommSettings& chosen);

public slots:
    void FormShow();
    void Button1Click();  // OK
    void Button2Click();  // Cancel

protected:
    void showEvent(QShowEvent* event) override;

private:
    QComboBox* cbPortName = nullptr;
    QComboBox* cbSpeed = nullptr;
    QLineEdit* edTimeout = nullptr;
    QLineEdit* edRefreshInterval = nullptr;
    CommSettings current_;
};
