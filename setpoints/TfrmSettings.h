#pragma once

#include "SetpointSnapshot.h"

#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class RegisterImage;

// "Уставки": the relay's setpoints decoded from registers 6..41. A view only;
// hidden, never destroyed, when closed. Compared with a snapshot, it marks
// every setpoint that differs, poll after poll.
class TfrmSettings : public QWidget {
    Q_OBJECT

public:
    explicit TfrmSettings(QWidget* parent = nullptr);

    // Sets all 36 fields from the poll thread's image, register 6 first.
    void UpdateSetpoints(const RegisterImage& image);
    // The snapshot the fields are compared with from now on; none: no marks.
    void SetComparison(std::optional<SetpointSnapshot> saved, const QString& fileName);
    const std::optional<SetpointSnapshot>& Comparison() const { return compared_; }
    const QString& ComparisonFile() const { return comparedFile_; }

signals:
    // The file commands, which need more than this window has.
    void saveRequested();
    void compareRequested();
    void reportRequested();

public slots:
    void Button1Click();

private:
    void ShowComparison(const SetpointValues& now, const std::string& separator);

    QLineEdit* edits_[36] = {};
    QLabel* saved_[36] = {};  // the file's value beside a field that differs
    QLabel* summary_ = nullptr;
    QListWidget* differences_ = nullptr;
    QPushButton* endComparison_ = nullptr;
    std::optional<SetpointSnapshot> compared_;
    QString comparedFile_;
    std::vector<std::string> shownDifferences_;
};
