#pragma once

#include "Event.h"

#include <QAbstractTableModel>
#include <QWidget>

#include <cstdint>
#include <vector>

class EventLog;
class QCheckBox;
class QComboBox;
class QTableView;

// The events the window shows, oldest first: those of the kinds ticked, of
// the newest the log keeps.
class EventTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { kTime, kWhat, kState, kIa, kIb, kIc, k3I0, kLastTrip, kRelay, kColumns };

    explicit EventTableModel(const EventLog& log, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Takes the events added since, and lets go of those the log no longer holds.
    void Refresh();
    void SetShown(EventKind kind, bool shown);
    // Only this relay's events and the whole line's; empty: every relay's.
    void SetRelay(const std::string& relay);
    const Event& At(int row) const;

private:
    bool Shown(const Event& e) const
    {
        return shown_[static_cast<int>(e.kind)] && (relay_.empty() || e.relay.empty() || e.relay == relay_);
    }
    void Rebuild();

    const EventLog& log_;
    bool shown_[4] = {true, true, true, true};
    std::string relay_;
    std::vector<uint64_t> rows_;  // the events' numbers in the log
    uint64_t taken_ = 0;          // events of the log looked at so far
};

// "События": every trip, input change, link change and operator command
// with its time; modeless, and kept up to date while open.
class TfrmEvents : public QWidget {
    Q_OBJECT

public:
    explicit TfrmEvents(const EventLog& log, QWidget* parent = nullptr);

    // New events from the log; the view follows them unless the operator
    // has scrolled up to read.
    void Follow();
    // The events shown, as CSV in Windows-1251 with a header; false, with
    // the reason, when the file cannot be written.
    bool SaveTo(const QString& fileName, QString* error) const;
    EventTableModel* Model() const { return model_; }
    // The relays the filter offers, as the events name them; none: no filter.
    void SetRelays(const std::vector<std::string>& relays);

private slots:
    void btnSaveClick();

private:
    EventTableModel* model_;
    QTableView* tvEvents_;
    QComboBox* cbRelay_;
};
