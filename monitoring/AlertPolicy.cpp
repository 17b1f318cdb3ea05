// Who hears of a device's problems: the maintenance mute.
#include "monitoring/MonitorCore.h"

void CMonitorCore::MuteDevice(std::uint16_t deviceId, std::int64_t until) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    device->MutedUntil = until;
}

bool CMonitorCore::AlertsMuted(const Device& device) const {
    return device.MutedUntil != 0;
}
