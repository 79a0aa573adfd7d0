#pragma once

#include "LineOverview.h"

#include <QWidget>

#include <cstddef>
#include <vector>

class QTableWidget;

// "Все реле": a row per relay of the line with its currents, a red mark
// while a red LED is lit, and its link; rows sort by any column, and a
// double click asks for the relay in the main window. Modeless.
class TfrmRelays : public QWidget {
    Q_OBJECT

public:
    enum Column { kName, kAddress, kIa, kIb, kIc, k3I0, kLastTrip, kAlarm, kLink, kLastAnswer, kColumns };

    explicit TfrmRelays(QWidget* parent = nullptr);

    // The rows in the poll thread's order of the relays; only the cells
    // whose text changed are touched, so an idle line repaints nothing.
    void Show(const std::vector<OverviewRow>& rows);
    QTableWidget* Table() const { return table_; }
    // The table row that shows the relay at this place in the list, or -1.
    int RowOf(std::size_t unit) const;

signals:
    void relayChosen(std::size_t unit);

private:
    void SetCell(int row, int column, const QString& text, const QVariant& sortKey);

    QTableWidget* table_;
    std::vector<OverviewRow> shown_;
};
