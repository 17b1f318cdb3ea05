// Devices that are not heard from: a monitored device from which no status has arrived for the
// hold time is in an outage (logged once, alerted once), and the notice when a device's alerted
// problems are over.
#include <QTimer>
#include <algorithm>

#include "monitoring/MonitorCore.h"

void CMonitorCore::CheckReachability() {
    if (closing_ || !started_) return;
    EndExpiredMutes();
    const std::int64_t now = WallSeconds();
    for (const auto& device : devices_) CheckDeviceReachability(*device, now);
}

void CMonitorCore::CheckDeviceReachability(Device& device, std::int64_t now) {
    if (!device.AvloEnabled) {
        // Unticked: not watched, and its outage is nobody's concern any more.
        device.WatchedSince = 0;
        device.UnreachableSince = 0;
        device.UnreachableAlerted = false;
        return;
    }
    // A device never heard from counts from the moment it is watched (the start-up, or the
    // tick of its box).
    if (device.WatchedSince == 0) device.WatchedSince = now;
    const std::int64_t silentSince = std::max(device.StatusTime, device.WatchedSince);
    const std::int64_t hold =
        std::int64_t{std::clamp(NotifiableEvents.LostMinutes, 1, MaxLostMinutes)} * 60;
    if (now - silentSince < hold) return;
    if (device.UnreachableSince == 0) {
        device.UnreachableSince = silentSince;
        LogDeviceEvent(EV_DEVICE_UNREACHABLE, EVENTLOG_WARNING_TYPE, device);
    }
    if (!NotifiableEvents.LostErr || device.UnreachableAlerted) return;
    // In limit mode a device's outages are alerted once a day, like its fault items.
    if (LimitOn() && device.UnreachableNotified) return;
    if (!RaiseAlert(device, UnreachableAlert(device))) return;
    device.UnreachableAlerted = true;
    device.UnreachableNotified = true;
}

void CMonitorCore::NoticeIfRecovered(Device& device) {
    const bool faultFree = FaultItems(device.Status) == 0;
    if (faultFree && (device.AlertedFaults != 0 || device.UnreachableAlerted)) {
        if (NotifiableEvents.Recovery) RaiseAlert(device, RecoveryNotice(device));
        device.AlertedFaults = 0;
        device.AlertedSince = 0;
        device.UnreachableAlerted = false;
    }
    // Heard: the outage is over; one still to be told of as cleared keeps only its flag.
    device.UnreachableSince = 0;
}
