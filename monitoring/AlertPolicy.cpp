// Who hears of a device's problems: the routes every alert and notice takes, and the
// maintenance mute that holds them back.
#include <QDateTime>

#include "monitoring/MonitorCore.h"

bool CMonitorCore::RaiseAlert(Device& device, const AlertNotice& notice, std::uint32_t faults,
                              const DeviceStatus* status) {
    if (AlertsMuted(device)) return false;
    if (EmailSettings.Enabled) {
        if (AlertRecorder && faults != 0) {
            AlertResult(device.DeviceId, faults,
                        AlertRecorder(device, status ? *status : device.Status));
        } else {
            SendEmail(notice.Subject, notice.Text, false, device.DeviceId, faults);
        }
    } else {
        // Without e-mail the other routes have it at once: marked now, or every poll of
        // the day would tell them again.
        MarkItems(device.Notified, faults);
        if (faults != 0 && device.AlertedFaults == 0) device.AlertedSince = WallSeconds();
        device.AlertedFaults |= faults;
    }
    if (faults == 0 || (faults & ~device.RoutedFaults) != 0) {
        device.RoutedFaults |= faults;
        SendWebhooks(notice);
        emit AlertRaised(device.DeviceId, notice);
    }
    return true;
}

namespace {

std::string MomentWords(std::int64_t seconds) {
    if (seconds == CMonitorCore::MutedIndefinitely) return "until unmuted";
    return "until " + QDateTime::fromSecsSinceEpoch(seconds)
                          .toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                          .toStdString();
}

}  // namespace

void CMonitorCore::MuteDevice(std::uint16_t deviceId, std::int64_t until) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr || until < 0) return;
    // A moment already past mutes nothing.
    if (until != 0 && until != MutedIndefinitely && until <= WallSeconds()) until = 0;
    if (until == device->MutedUntil) return;
    const bool hadMute = device->MutedUntil != 0;
    device->MutedUntil = until;
    LogMuteEvent(*device);
    if (hadMute && until == 0) AlertStandingProblems(*device);
    emit DeviceRowChanged(deviceId);
}

bool CMonitorCore::AlertsMuted(const Device& device) const {
    if (device.MutedUntil == 0) return false;
    return device.MutedUntil == MutedIndefinitely || device.MutedUntil > WallSeconds();
}

void CMonitorCore::LogMuteEvent(const Device& device) {
    if (!Options.Log) return;
    const std::string who = device.Name + " at " + device.IpAddress;
    if (device.MutedUntil != 0) {
        eventLog_->WriteEvent(EV_ALERTS_MUTED, EVENTLOG_INFORMATION_TYPE,
                              who + ": alerts muted " + MomentWords(device.MutedUntil),
                              HistoryDevice(device));
    } else {
        eventLog_->WriteEvent(EV_ALERTS_UNMUTED, EVENTLOG_INFORMATION_TYPE,
                              who + ": alerts no longer muted", HistoryDevice(device));
    }
}

// A mute whose moment has passed ends as an unmute does: its event, and the problems that
// still stand alerted.
void CMonitorCore::EndExpiredMutes() {
    std::vector<std::uint16_t> expired;
    for (const auto& device : devices_) {
        if (device->MutedUntil != 0 && !AlertsMuted(*device)) expired.push_back(device->DeviceId);
    }
    for (const std::uint16_t id : expired) {
        Device* device = FindDeviceById(id);
        device->MutedUntil = 0;
        LogMuteEvent(*device);
        AlertStandingProblems(*device);
        emit DeviceRowChanged(id);
    }
}
