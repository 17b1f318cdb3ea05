// The registered device table: adding, changing, deleting and finding devices.
#include <QTreeWidget>
#include <QTreeWidgetItem>

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

    auto device = std::make_unique<Device>();
    device->DeviceId = NextDeviceId();
    device->Name = context->Name;
    device->IpAddress = context->IpAddress;
    device->ModelCode = context->ModelCode;
    device->Serial = context->Serial;
    device->AvloEnabled = context->AvloEnabled;
    if (stats) std::copy(stats, stats + StatsCount, device->Stats);
    if (device->AvloEnabled) {
        device->ConnState = Connecting;
        device->Connection = std::make_unique<TTcpCommsThread>(*store_, devicePortText_,
                                                               device->IpAddress, this,
                                                               device->DeviceId);
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
    if (Options.Log) eventLog_->WriteEvent(EV_DEVICE_REGISTERED, EVENTLOG_INFORMATION_TYPE, logText);
    return id;
}

bool TMainForm::UpdateDevice(int listIndex, const TRegisterDlg::Context* context, bool refresh) {
    if (context == nullptr || !tableExists_) return false;
    Device* device = FindDeviceByListIndex(listIndex);
    if (device == nullptr) return false;
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
    if (listIndex < static_cast<int>(shownRows_.size())) shownRows_.erase(shownRows_.begin() + listIndex);
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

int TMainForm::DevicePosition(int listIndex) const {
    if (!tableExists_) return -1;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i]->ListIndex == listIndex) return static_cast<int>(i);
    }
    return -1;
}

bool TMainForm::IsNameFree(const std::string& name) const {
    if (!tableExists_ || name.empty()) return false;
    for (const auto& device : devices_) {
        if (device->Name == name) return false;
    }
    return true;
}

bool TMainForm::IsAddressFree(const std::string& address) const {
    if (!tableExists_ || address.empty()) return false;
    for (const auto& device : devices_) {
        if (device->IpAddress == address) return false;
    }
    return true;
}

bool TMainForm::IsSerialFree(const std::string& serial) const {
    if (!tableExists_ || serial.empty()) return false;
    return FindDeviceBySerial(serial) == nullptr;
}

void TMainForm::ClearNotified() {
    for (auto& device : devices_) device->Notified = DeviceStatus{};
}
