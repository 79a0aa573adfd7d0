#pragma once

#include <QWidget>

class QLineEdit;
class RegisterImage;

// "Уставки": the relay's setpoints decoded from registers 6..41. A view only;
// hidden, never destroyed, when closed.
class TfrmSettings : public QWidget {
    Q_OBJECT

public:
    explicit TfrmSettings(QWidget* parent = nullptr);

    // Sets all 36 fields from the poll thread's image, register 6 first.
    void UpdateSetpoints(const RegisterImage& image);

public slots:
    void Button1Click();

private:
    QLineEdit* edits_[36] = {};
};
