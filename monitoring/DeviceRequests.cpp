// What the properties dialog asks of a device beyond its configuration: a status now, and
// whether the requests of a configuration are still on their way.
#include "monitoring/MonitorCore.h"

bool CMonitorCore::RefreshNow(std::uint16_t deviceId) {
    // Through the queue, not around it: a query between a configuration's requests would
    // come back with a state the device has not finished reaching.
    return QueueRequests(deviceId, {{deviceId, StatusQuery, 0}});
}

bool CMonitorCore::ConfigurationPending(std::uint16_t deviceId) const {
    const Device* device = FindDeviceById(deviceId);
    // A connection that is gone answers nothing more.
    if (device == nullptr || !device->StatusKnown) return false;
    return PacedRequestsWaiting(deviceId) > 0 || awaitingStatus_.contains(deviceId);
}

void CMonitorCore::NoteStatusArrived(std::uint16_t deviceId) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    device->StatusTime = WallSeconds();
    // A status that arrives while the last request still waits in the connection answers
    // an earlier one.
    if (!device->Connection || device->Connection->QueuedRequests() == 0)
        awaitingStatus_.erase(deviceId);
}
