// The registered device table: adding, changing, deleting and finding devices.
#include <algorithm>

#include "monitoring/MonitorCore.h"

namespace {

std::uint16_t deviceIdCounter = 0;

}  // namespace

std::uint16_t CMonitorCore::NextDeviceId() {
    // Identifiers are never reused within a run; 0 is never given out.
    ++deviceIdCounter;
    if (deviceIdCounter == 0) ++deviceIdCounter;
    return deviceIdCounter;
}

int CMonitorCore::AddDevice(const DeviceContext* context, const std::int32_t* stats) {
    if (context == nullptr || !tableExists_) return -1;
    if (!IsNameFree(context->Name) || !IsAddressFree(context->IpAddress)) return -1;
    return AddDeviceRecord(*context, stats);
}

// The caller has made sure that the name is free and that the address is free or empty.
int CMonitorCore::AddDeviceRecord(const DeviceContext& context, const std::int32_t* stats) {
    auto device = std::make_unique<Device>();
    device->DeviceId = NextDeviceId();
    device->Name = context.Name;
    device->IpAddress = context.IpAddress;
    device->ModelCode = context.ModelCode;
    device->Serial = context.Serial;
    device->AvloEnabled = context.AvloEnabled;
    if (stats) std::copy(stats, stats + StatsCount, device->Stats);
    // A new record counts from now; the load puts back what the file kept.
    device->StatsSince = WallSeconds();
    device->StatsSinceKnown = true;
    // A device without an address has nothing to connect to until discovery finds it again.
    if (device->AvloEnabled && !device->IpAddress.empty()) {
        device->ConnState = Connecting;
        device->Connection = MakeConnection(*device);
        device->WatchedSince = WallSeconds();  // for silence, from its first connection on
    } else {
        device->ConnState = Disconnected;
    }

    // The list has one row per device, in the table's order: the new one is the last.
    device->ListIndex = DeviceCount();
    const std::uint16_t id = device->DeviceId;
    const std::string logText = device->Name + " at " + device->IpAddress;
    const EventDevice logDevice = HistoryDevice(*device);
    devices_.push_back(std::move(device));
    emit DeviceAdded(id);

    RefreshDeviceRows();
    emit DeviceCountChanged(DeviceCount());
    if (Options.Log)
        eventLog_->WriteEvent(EV_DEVICE_REGISTERED, EVENTLOG_INFORMATION_TYPE, logText, logDevice);
    return id;
}

bool CMonitorCore::UpdateDevice(int listIndex, const DeviceContext* context, bool refresh) {
    if (context == nullptr || !tableExists_) return false;
    Device* device = FindDeviceByListIndex(listIndex);
    if (device == nullptr) return false;
    // Two records with one address would both poll the one device behind it and count its
    // faults twice; two with one name could not be told apart. Callers free the name or the
    // address first (the register dialog checks, discovery takes the address away).
    const Device* nameHolder = FindDeviceByName(context->Name);
    const Device* addressHolder = FindDeviceByAddress(context->IpAddress);
    if ((nameHolder && nameHolder != device) || (addressHolder && addressHolder != device))
        return false;
    const bool addressChanged = device->IpAddress != context->IpAddress;
    const bool wasEnabled = device->AvloEnabled;

    device->Name = context->Name;
    device->IpAddress = context->IpAddress;
    device->AvloEnabled = context->AvloEnabled;

    if (wasEnabled && !context->AvloEnabled) {
        StopConnection(listIndex, false);
    } else if (!wasEnabled && context->AvloEnabled) {
        StartConnection(listIndex, false);
    } else if (wasEnabled && addressChanged) {
        StopConnection(listIndex, false);
        StartConnection(listIndex, false);
    }
    if (refresh) RefreshDeviceRows();
    return true;
}

void CMonitorCore::DeleteDevice(int listIndex) {
    Device* device = FindDeviceByListIndex(listIndex);
    if (device == nullptr) return;
    if (device->Connection) {
        device->Connection->Stop();
        device->Connection.reset();
    }
    // Its thread has ended, so nothing writes the slot again; ids are never reused.
    store_->ReleaseStatus(device->DeviceId);
    const int position = DevicePosition(listIndex);
    devices_.erase(devices_.begin() + position);
    for (auto& other : devices_) {
        if (other->ListIndex >= listIndex) --other->ListIndex;
    }
    emit DeviceRemoved(listIndex);
    emit DeviceCountChanged(DeviceCount());
}

void CMonitorCore::RefreshDeviceRows() {
    for (const auto& device : devices_) {
        ConditionText(device->DeviceId);
        emit DeviceRowChanged(device->DeviceId);
    }
}

QStringList CMonitorCore::RowTexts(const Device& device) {
    QString state;
    switch (device.ConnState) {
        case Connected:
            state = QStringLiteral("Connected");
            break;
        case Connecting:
            state = QStringLiteral("Connecting...");
            break;
        default:
            state = QStringLiteral("Disconnected");
            break;
    }
    return {QString::fromStdString(device.Name), QString::fromStdString(device.IpAddress), state,
            QString::fromStdString(device.Condition)};
}

CMonitorCore::Device* CMonitorCore::FindDeviceByListIndex(int listIndex) const {
    if (!tableExists_) return nullptr;
    for (const auto& device : devices_) {
        if (device->ListIndex == listIndex) return device.get();
    }
    return nullptr;
}

CMonitorCore::Device* CMonitorCore::FindDeviceById(std::uint16_t deviceId) const {
    if (!tableExists_) return nullptr;
    for (const auto& device : devices_) {
        if (device->DeviceId == deviceId) return device.get();
    }
    return nullptr;
}

CMonitorCore::Device* CMonitorCore::FindDeviceBySerial(const std::string& serial) const {
    if (!tableExists_) return nullptr;
    for (const auto& device : devices_) {
        if (device->Serial == serial) return device.get();
    }
    return nullptr;
}

CMonitorCore::Device* CMonitorCore::FindDeviceByName(const std::string& name) const {
    if (!tableExists_ || name.empty()) return nullptr;
    for (const auto& device : devices_) {
        if (device->Name == name) return device.get();
    }
    return nullptr;
}

// An empty address is no address: records without one never match.
CMonitorCore::Device* CMonitorCore::FindDeviceByAddress(const std::string& address) const {
    if (!tableExists_ || address.empty()) return nullptr;
    for (const auto& device : devices_) {
        if (device->IpAddress == address) return device.get();
    }
    return nullptr;
}

int CMonitorCore::DevicePosition(int listIndex) const {
    if (!tableExists_) return -1;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i]->ListIndex == listIndex) return static_cast<int>(i);
    }
    return -1;
}

bool CMonitorCore::IsNameFree(const std::string& name) const {
    if (!tableExists_ || name.empty()) return false;
    return FindDeviceByName(name) == nullptr;
}

bool CMonitorCore::IsAddressFree(const std::string& address) const {
    if (!tableExists_ || address.empty()) return false;
    return FindDeviceByAddress(address) == nullptr;
}

// "Stage", then "Stage 1", "Stage 2", ...: the way generated device names are told apart.
// A number is not given when a name in reserved (devices still to come) already has it.
std::string CMonitorCore::UniqueName(const std::string& base,
                                     const std::vector<std::string>& reserved) const {
    if (IsNameFree(base)) return base;
    for (int n = 1;; ++n) {
        std::string name = base + " " + std::to_string(n);
        if (IsNameFree(name) && std::find(reserved.begin(), reserved.end(), name) == reserved.end())
            return name;
    }
}

// The device behind the record's address has turned out to be another registered device
// (addresses move under DHCP). The record keeps its name, serial number and counters and waits,
// unconnected, until its own device answers discovery from an address of its own.
void CMonitorCore::ReleaseAddress(Device& device) {
    const std::string lost = device.Name + " at " + device.IpAddress;
    const EventDevice lostDevice = HistoryDevice(device);
    StopConnection(device.ListIndex, false);
    device.IpAddress.clear();
    device.StatusKnown = false;
    if (Options.Log) {
        eventLog_->WriteEvent(EV_DEVICE_CONNECTION_LOST, EVENTLOG_WARNING_TYPE, lost, lostDevice);
    }
}

bool CMonitorCore::IsNameFreeFor(const std::string& name, int listIndex) const {
    if (!tableExists_ || name.empty()) return false;
    const Device* holder = FindDeviceByName(name);
    return holder == nullptr || holder->ListIndex == listIndex;
}

bool CMonitorCore::IsAddressFreeFor(const std::string& address, int listIndex) const {
    if (!tableExists_ || address.empty()) return false;
    const std::string wanted = DecimalAddress(address);
    for (const auto& device : devices_) {
        if (device->ListIndex != listIndex && !device->IpAddress.empty() &&
            DecimalAddress(device->IpAddress) == wanted)
            return false;
    }
    return true;
}

std::string CMonitorCore::DecimalAddress(const std::string& address) {
    std::string decimal;
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = part < 3 ? address.find('.', start) : address.size();
        if (end == std::string::npos || end == start) return address;
        std::size_t first = start;
        for (std::size_t i = start; i < end; ++i) {
            if (address[i] < '0' || address[i] > '9') return address;
        }
        while (first + 1 < end && address[first] == '0') ++first;
        if (part > 0) decimal += '.';
        decimal.append(address, first, end - first);
        start = end + 1;
    }
    return decimal;
}

bool CMonitorCore::IsSerialFree(const std::string& serial) const {
    if (!tableExists_ || serial.empty()) return false;
    return FindDeviceBySerial(serial) == nullptr;
}

void CMonitorCore::ClearNotified() {
    for (auto& device : devices_) {
        device->Notified = DeviceStatus{};
        device->UnreachableNotified = false;
        device->RoutedFaults = 0;
    }
}
