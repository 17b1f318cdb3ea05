// Following a registered device to a new address: a discovery reply from elsewhere is only a
// claim (anybody on the network can send one), so a connection of its own asks the device at
// that address for its status, and the device moves only when that status carries its serial
// number.
#include "comms/Mymessages.h"
#include "monitoring/MonitorCore.h"

void CMonitorCore::StartAddressCheck(const Device& device, const std::string& address) {
    for (const auto& [id, check] : addressChecks_) {
        if (check.DeviceId == device.DeviceId) return;  // one claim at a time per device
    }
    // Check ids come from the devices' counter, so they never name a device.
    const std::uint16_t checkId = NextDeviceId();
    AddressCheck& check = addressChecks_[checkId];
    check.DeviceId = device.DeviceId;
    check.IpAddress = address;
    check.Serial = device.Serial;
    check.Connection = std::make_unique<TTcpCommsThread>(*store_, devicePortText_,
                                                         DecimalAddress(address), this, checkId);
}

bool CMonitorCore::HandleAddressCheck(std::uint16_t code, std::uint16_t checkId) {
    const auto it = addressChecks_.find(checkId);
    if (it == addressChecks_.end()) return false;
    switch (code) {
        case EvStarted:
            break;
        case EvConnected: {
            const std::string query = RequestText(StatusQuery, 0);
            it->second.Connection->Send(query.data(), static_cast<int>(query.size()), true);
            break;
        }
        case EvReceived:
            CheckedAddressAnswered(checkId);
            break;
        default:  // refused, silent, lost or ended: the claim stays unproven
            EndAddressCheck(checkId);
            break;
    }
    return true;
}

void CMonitorCore::CheckedAddressAnswered(std::uint16_t checkId) {
    const AddressCheck& check = addressChecks_.at(checkId);
    char message[CData::StatusBytes];
    const int len = store_->GetStatusMessage(checkId, message, sizeof message);
    DeviceStatus status;
    std::uint8_t modelCode = 0;
    std::string serial;
    const bool parsed = len >= 0 && codec_->ParseStatus(message, len, status, modelCode, serial);
    Device* device = FindDeviceById(check.DeviceId);
    // The record may have been changed or deleted while the check was under way.
    const bool proven = parsed && device != nullptr && serial == check.Serial &&
                        device->Serial == check.Serial && device->IpAddress != check.IpAddress;
    const std::string address = check.IpAddress;
    EndAddressCheck(checkId);
    if (proven) MoveDevice(*device, address, modelCode);
}

void CMonitorCore::EndAddressCheck(std::uint16_t checkId) {
    const auto it = addressChecks_.find(checkId);
    if (it == addressChecks_.end()) return;
    addressChecks_.erase(it);  // stops the check's connection and waits for its end
    // Nothing writes the check's slot again; its id is never used again.
    store_->ReleaseStatus(checkId);
}

void CMonitorCore::MoveDevice(Device& device, const std::string& address, std::uint8_t modelCode) {
    const std::string from = device.IpAddress.empty() ? "no address" : device.IpAddress;
    // The device now holds an address that another record still has (DHCP moved them):
    // that record's device is no longer there.
    if (Device* holder = FindDeviceByAddress(address)) ReleaseAddress(*holder);
    DeviceContext context;
    context.Name = device.Name;
    context.IpAddress = address;
    context.AvloEnabled = device.AvloEnabled;
    UpdateDevice(device.ListIndex, &context, true);
    device.ModelCode = modelCode;
    device.SeenInSearch = true;
    ++FoundCount;
    if (Options.Log) {
        eventLog_->WriteEvent(EV_DEVICE_MOVED, EVENTLOG_WARNING_TYPE,
                              device.Name + " moved from " + from + " to " + address,
                              HistoryDevice(device));
    }
}
