#include "RelayChoice.h"

#include "Cp1251.h"
#include "DecimalSeparator.h"
#include "LineOverview.h"
#include "Measurements.h"
#include "TDeviceControl.h"
#include "TfrmRelays.h"

#include <QActionGroup>
#include <QMenu>
#include <QStringList>

#include <algorithm>
#include <optional>

RelayChoice::RelayChoice(QMenu* menu, QWidget* window)
    : QObject(window), menu_(menu), group_(new QActionGroup(this)), overview_(new TfrmRelays(window))
{
    menu_->menuAction()->setVisible(false);
    connect(overview_, &TfrmRelays::relayChosen, this, [this, window](std::size_t unit) {
        emit chosen(unit);
        window->raise();
        window->activateWindow();
    });
}

void RelayChoice::Read(const TIniFile& ini, uint8_t netAddress)
{
    const std::optional<uint8_t> wasShown =
        relays_.relays.empty() ? std::nullopt : std::optional<uint8_t>(ShownAddress());
    relays_ = ReadRelayList(ini, netAddress);
    if (wasShown)
        for (std::size_t unit = 0; unit < relays_.relays.size(); ++unit)
            if (relays_.relays[unit].address == *wasShown)
                relays_.shown = unit;
    shown_ = relays_.shown;
    FillMenu();
}

QString RelayChoice::NewProblems()
{
    if (relays_.problems.empty() || problemsTold_)
        return {};
    problemsTold_ = true;
    QStringList lines;
    for (const std::string& problem : relays_.problems)
        lines << QString::fromStdString(problem);
    return QString::fromUtf8("Строки списка реле пропущены:\n%1").arg(lines.join('\n'));
}

std::vector<RelayName> RelayChoice::Names() const
{
    std::vector<RelayName> names;
    for (const RelayEntry& relay : relays_.relays)
        names.push_back({relay.address, Cp1251ToUtf8(relay.name)});
    return names;
}

void RelayChoice::FillMenu()
{
    menu_->clear();
    menu_->menuAction()->setVisible(Several());
    for (std::size_t unit = 0; unit < relays_.relays.size() && Several(); ++unit) {
        const RelayEntry& relay = relays_.relays[unit];
        QAction* action = menu_->addAction(QString::fromStdString(RelayCaption(Cp1251ToUtf8(relay.name), relay.address)));
        action->setObjectName(QString("miRelay%1").arg(relay.address));
        action->setCheckable(true);
        group_->addAction(action);
        connect(action, &QAction::triggered, this, [this, unit] { emit chosen(unit); });
    }
}

bool RelayChoice::Show(std::size_t unit)
{
    if (unit >= relays_.relays.size())
        return false;
    shown_ = unit;
    if (menu_->actions().size() > static_cast<qsizetype>(unit))
        menu_->actions()[static_cast<qsizetype>(unit)]->setChecked(true);
    return true;
}

QString RelayChoice::Caption() const
{
    if (!Several())
        return QString::fromUtf8("Zarit монитор");
    const std::string caption = RelayCaption(Cp1251ToUtf8(ShownRelay().name), ShownRelay().address);
    return QString::fromUtf8("Zarit монитор — %1").arg(QString::fromStdString(caption));
}

QWidget* RelayChoice::Overview() const
{
    return overview_;
}

void RelayChoice::ShowOverview(const TDeviceControl* poller)
{
    if (poller)
        UpdateOverview(*poller);
    overview_->show();
    overview_->raise();
    overview_->activateWindow();
}

void RelayChoice::Tick(const TDeviceControl& poller)
{
    if (overview_->isVisible())
        UpdateOverview(poller);
}

void RelayChoice::UpdateOverview(const TDeviceControl& poller)
{
    const std::string separator = DecimalSeparator();
    std::vector<OverviewRow> rows;
    for (std::size_t unit = 0; unit < poller.UnitCount(); ++unit) {
        const RelayEntry& relay = relays_.relays[std::min(unit, relays_.relays.size() - 1)];
        rows.push_back(MakeOverviewRow(Cp1251ToUtf8(relay.name), relay.address, poller.Image(unit), poller.Stats(unit),
                                       separator));
    }
    overview_->Show(rows);
}
