// Muting a device's alerts from the device list: the entries of the list's menu, the mute
// itself, and how a muted row reads.
#include <QAction>
#include <QMenu>
#include <QTreeWidget>

#include "app/MainUnit.h"
#include "dialogs/MuteMenu.h"
#include "dialogs/MuteTimes.h"
#include "platform/Clock.h"

void TMainForm::BuildMuteMenu() {
    ListViewMenu->addSeparator();
    MuteAlertsMenu = NewMuteMenu(ListViewMenu, [this](std::int64_t until) {
        if (const Device* device = CurrentDevice()) MuteDeviceAlerts(device->DeviceId, until);
    });
    ListViewMenu->addMenu(MuteAlertsMenu);
    UnmuteAlertsMenu = ListViewMenu->addAction(QStringLiteral("&Unmute alerts"));
    UnmuteAlertsMenu->setObjectName(QStringLiteral("UnmuteAlertsMenu"));
    connect(UnmuteAlertsMenu, &QAction::triggered, this, [this] {
        if (const Device* device = CurrentDevice()) MuteDeviceAlerts(device->DeviceId, 0);
    });
    ShowMuteChoices();
}

CMonitorCore::Device* TMainForm::CurrentDevice() {
    const int row = ListView ? ListView->indexOfTopLevelItem(ListView->currentItem()) : -1;
    const bool chosen = ListView && !ListView->selectedItems().isEmpty();
    return chosen && row >= 0 ? core_->FindDeviceByListIndex(row) : nullptr;
}

void TMainForm::ShowMuteChoices() {
    const Device* device = CurrentDevice();
    MuteAlertsMenu->menuAction()->setEnabled(device != nullptr);
    UnmuteAlertsMenu->setVisible(device != nullptr && core_->AlertsMuted(*device));
}

void TMainForm::MuteDeviceAlerts(std::uint16_t deviceId, std::int64_t until) {
    core_->MuteDevice(deviceId, until);
    // Shown here whether or not the core reports the change: the user sees the mute take hold.
    ShowDeviceRow(deviceId);
}

QString TMainForm::MuteHint(const Device& device) const {
    if (!core_->AlertsMuted(device)) return QString();
    return QLatin1Char('(') + MuteText(device.MutedUntil, LocalNow()) + QLatin1Char(')');
}
