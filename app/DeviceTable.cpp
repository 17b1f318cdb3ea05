// The registered device table: adding, changing, deleting and finding devices.
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <algorithm>

#include "app/MainUnit.h"

namespace {

std::uint16_t deviceIdCounter = 0;

}  // namespace

std::uint16_t TMainForm::NextDeviceId() {
    // Identifiers are never reused within a run; 0 is never given out.
    ++deviceIdCounter;
    if (deviceIdCounter == 0) ++deviceIdCounter;
    return deviceIdCounter;
}

int TMainForm::AddDevice(const TRegisterDlg::Context* context, const std::int32_t* stats) {
    if (context == nullptr || !tableExists_) return -1;
    if (!IsNameFree(context->Name) || !IsAddressFree(context->IpAddress)) return -1;
    return AddDeviceRecord(*context, stats);
}

// The caller has made sure that the name is free and that the address is free or empty.
int TMainForm::AddDeviceRecord(const TRegisterDlg::Context& context, const std::int32_t* stats) {
    auto device = std::make_unique<Device>();
    device->DeviceId = NextDeviceId();
    device->Name = context.Name;
    device->IpAddress = context.IpAddress;
    device->ModelCode = context.ModelCode;
    device->Serial = context.Serial;
    device->AvloEnabled = context.AvloEnabled;
    if (stats) std::copy(stats, stats + StatsCount, device->Stats);
    // A device without an address has nothing to connect to until discovery finds it again.
    if (device->AvloEnabled && !device->IpAddress.empty()) {
        device->ConnState = Connecting;
        device->Connection = std::make_unique<TTcpCommsThread>(
            *store_, devicePortText_, device->IpAddress, this, device->DeviceId);
    } else {
        device->ConnState = Disconnected;
    }

    auto* row = new QTreeWidgetItem();
    row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
    row->setText(4, QStringLiteral("Unknown"));
    {
        const QSignalBlocker quiet(ListView);
        row->setCheckState(0, device->AvloEnabled ? Qt::Checked : Qt::Unchecked);
        ListView->addTopLevelItem(row);
    }
    device->ListIndex = ListView->topLevelItemCount() - 1;
    const std::uint16_t id = device->DeviceId;
    const std::string logText = device->Name + " at " + device->IpAddress;
    devices_.push_back(std::move(device));

    RefreshDeviceRows();
    ShowRegisteredCount();
    if (Options.Log)
        eventLog_->WriteEvent(EV_DEVICE_REGISTERED, EVENTLOG_INFORMATION_TYPE, logText);
    return id;
}

bool TMainForm::UpdateDevice(int listIndex, const TRegisterDlg::Context* context, bool refresh) {
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

void TMainForm::DeleteDevice(int listIndex) {
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

    {
        const QSignalBlocker quiet(ListView);
        ListView->setCurrentItem(ListView->topLevelItem(listIndex));
        delete ListView->takeTopLevelItem(listIndex);
        // The list would move the selection to a neighbour, which a second Delete would then
        // remove without the user having chosen it.
        ListView->clearSelection();
    }
    if (listIndex < static_cast<int>(shownRows_.size()))
        shownRows_.erase(shownRows_.begin() + listIndex);
    for (auto& other : devices_) {
        if (other->ListIndex >= listIndex) --other->ListIndex;
    }
    ShowRegisteredCount();
}

TMainForm::Device* TMainForm::FindDeviceByListIndex(int listIndex) const {
    if (!tableExists_) return nullptr;
    for (const auto& device : devices_) {
        if (device->ListIndex == listIndex) return device.get();
    }
    return nullptr;
}

TMainForm::Device* TMainForm::FindDeviceById(std::uint16_t deviceId) const {
    if (!tableExists_) return nullptr;
    for (const auto& device : devices_) {
        if (device->DeviceId == deviceId) return device.get();
    }
    return nullptr;
}

TMainForm::Device* TMainForm::FindDeviceBySerial(const std::string& serial) const {
    if (!tableExists_) return nullptr;
    for (const auto& device : devices_) {
        if (device->Serial == serial) return device.get();
    }
    return nullptr;
}

TMainForm::Device* TMainForm::FindDeviceByName(const std::string& name) const {
    if (!tableExists_ || name.empty()) return nullptr;
    for (const auto& device : devices_) {
        if (device->Name == name) return device.get();
    }
    return nullptr;
}

// An empty address is no address: records without one never match.
TMainForm::Device* TMainForm::FindDeviceByAddress(const std::string& address) const {
    if (!tableExists_ || address.empty()) return nullptr;
    for (const auto& device : devices_) {
        if (device->IpAddress == address) return device.get();
    }
    return nullptr;
}

int TMainForm::DevicePosition(int listIndex) const {
    if (!tableExists_) return -1;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i]->ListIndex == listIndex) return static_cast<int>(i);
    }
    return -1;
}

bool TMainForm::IsNameFree(const std::string& name) const {
    if (!tableExists_ || name.empty()) return false;
    return FindDeviceByName(name) == nullptr;
}

bool TMainForm::IsAddressFree(const std::string& address) const {
    if (!tableExists_ || address.empty()) return false;
    return FindDeviceByAddress(address) == nullptr;
}

// "Stage", then "Stage 1", "Stage 2", ...: the way generated device names are told apart.
// A number is not given when a name in reserved (devices still to come) already has it.
std::string TMainForm::UniqueName(const std::string& base,
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
void TMainForm::ReleaseAddress(Device& device) {
    const std::string lost = device.Name + " at " + device.IpAddress;
    StopConnection(device.ListIndex, false);
    device.IpAddress.clear();
    device.StatusKnown = false;
    if (Options.Log) eventLog_->WriteEvent(EV_DEVICE_CONNECTION_LOST, EVENTLOG_WARNING_TYPE, lost);
}

bool TMainForm::IsSerialFree(const std::string& serial) const {
    if (!tableExists_ || serial.empty()) return false;
    return FindDeviceBySerial(serial) == nullptr;
}

void TMainForm::ClearNotified() {
    for (auto& device : devices_) device->Notified = DeviceStatus{};
}
