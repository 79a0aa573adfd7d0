#pragma once

#include <QDialog>

// "Параметры связи": port, speed, response timeout and poll interval.
class TSettingsForm : public QDialog {
    Q_OBJECT

public:
    explicit TSettingsForm(QWidget* parent = nullptr);
};
