#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;

// "Параметры связи": port, speed, response timeout and poll interval. OK
// writes them to the configuration file and rebuilds the main window's link.
class TSettingsForm : public QDialog {
    Q_OBJECT

public:
    explicit TSettingsForm(QWidget* parent = nullptr);

    void FillPortList();
    void LoadSettings();
    // False when the file could not be written, after trying every key.
    bool SaveSettings();

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
};
