#pragma once

#include "LinkConfig.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

class QActionGroup;
class QMenu;
class QWidget;
class TDeviceControl;
class TIniFile;
class TfrmRelays;
struct RelayName;

// The line's relays as the configuration lists them, and the one the main
// window shows: chosen in the "Реле" menu (there with two relays or more)
// or by a double click in the line's overview.
class RelayChoice : public QObject {
    Q_OBJECT

public:
    // The menu is the window's "Реле", filled here; the overview belongs to
    // the window.
    RelayChoice(QMenu* menu, QWidget* window);

    // The relays from the file, offered anew; the relay shown before stays
    // shown while listed, else NETADDRESS's.
    void Read(const TIniFile& ini, uint8_t netAddress);
    // The lines of "Relays" that were skipped, once a run: "" after that.
    QString NewProblems();

    const RelayList& Relays() const { return relays_; }
    std::vector<RelayName> Names() const;
    bool Several() const { return relays_.relays.size() > 1; }
    std::size_t Shown() const { return shown_; }
    const RelayEntry& ShownRelay() const { return relays_.relays[shown_]; }
    uint8_t ShownAddress() const { return ShownRelay().address; }
    // Marks the relay shown; false for a unit the line does not have.
    bool Show(std::size_t unit);
    // The main window's caption, which names the relay of a line of several.
    QString Caption() const;

    // The line's overview: its rows from the poll thread's images and
    // counts, when shown (none without a link) and at each tick it is open.
    QWidget* Overview() const;
    void ShowOverview(const TDeviceControl* poller);
    void Tick(const TDeviceControl& poller);

signals:
    void chosen(std::size_t unit);

private:
    void FillMenu();
    void UpdateOverview(const TDeviceControl& poller);

    QMenu* menu_;
    QActionGroup* group_;
    TfrmRelays* overview_;
    RelayList relays_;
    std::size_t shown_ = 0;
    bool problemsTold_ = false;
};
