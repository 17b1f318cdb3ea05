// Discovery replies and the network search: new devices are registered, moved devices get
// their new address once it is checked, and a search reports how many devices answered.
#include <QTimer>
#include <utility>

#include "monitoring/MonitorCore.h"

void CMonitorCore::ProcessDiscoveryReplies() {
    while (store_->ReplyCount() != 0) {
        std::uint8_t addr[4];
        char reply[CData::ReplyBytes];
        const int len = store_->TakeReply(addr, reply, sizeof reply);
        if (len <= 0) break;
        // A reply that answers no request of ours is nobody's to believe.
        if (!discoveryRoundOpen_) continue;
        CMca::BcastData_Type found;
        if (!codec_->ParseDiscoveryReply(reply, len, addr, &found)) continue;
        TakeDiscoveryReply(found);
    }
}

void CMonitorCore::TakeDiscoveryReply(const CMca::BcastData_Type& found) {
    if (found.Serial.empty()) {
        // A reply without a serial number names no device: it can only be the device that
        // is registered at that address without a serial number, answering from where it is.
        Device* here = FindDeviceByAddress(found.IpAddress);
        if (here != nullptr && here->Serial.empty()) {
            here->SeenInSearch = true;
            ++FoundCount;
        }
        return;
    }
    Device* device = FindDeviceBySerial(found.Serial);
    if (device == nullptr) {
        NoteNewcomer(found);
        return;
    }
    if (device->IpAddress != found.IpAddress) {
        StartAddressCheck(*device, found.IpAddress);
        return;
    }
    device->SeenInSearch = true;
    device->ModelCode = found.ModelCode;
    ++FoundCount;
}

void CMonitorCore::NoteNewcomer(const CMca::BcastData_Type& found) {
    for (const auto& known : newcomers_) {
        if (known.Serial == found.Serial) return;
    }
    newcomers_.push_back(found);
}

void CMonitorCore::OpenDiscoveryRound() {
    CloseDiscoveryRound();
    discoveryRoundOpen_ = true;
    discoveryRoundTimer_->start();
}

void CMonitorCore::CloseDiscoveryRound() {
    if (!discoveryRoundOpen_) return;
    // Replies that arrived in time but whose announcement is still on its way belong to it.
    ProcessDiscoveryReplies();
    discoveryRoundOpen_ = false;
    discoveryRoundTimer_->stop();
    RegisterNewcomers();
}

void CMonitorCore::RegisterNewcomers() {
    const std::vector<CMca::BcastData_Type> newcomers = std::exchange(newcomers_, {});
    const int count = static_cast<int>(newcomers.size());
    if (count > MaxNewDevicesPerRound) {
        FoundCount += count;
        if (Options.Log) {
            eventLog_->WriteEvent(
                EV_DISCOVERY_BURST, EVENTLOG_WARNING_TYPE,
                std::to_string(count) +
                    " unregistered serial numbers answered one discovery request, more than " +
                    std::to_string(MaxNewDevicesPerRound) +
                    " at once: none of them was registered. Register the devices by hand.");
        }
        return;
    }
    for (const auto& found : newcomers) RegisterNewcomer(found);
}

void CMonitorCore::RegisterNewcomer(const CMca::BcastData_Type& found) {
    // A device may have been registered by hand meanwhile.
    if (!IsSerialFree(found.Serial)) return;
    if (DeviceCount() >= MaxDevices) {
        ++UnregisteredCount;
        return;
    }
    DeviceContext context;
    context.Name = NewDeviceName(found.ModelCode);
    context.IpAddress = found.IpAddress;
    context.ModelCode = found.ModelCode;
    context.Serial = found.Serial;
    context.AvloEnabled = Options.Avlo;
    const int id = AddDevice(&context);
    if (id != -1) {
        SendRequest(static_cast<std::uint16_t>(id), StatusQuery);
        if (Device* added = FindDeviceById(static_cast<std::uint16_t>(id))) {
            added->SeenInSearch = true;
        }
    }
    ++FoundCount;
}

bool CMonitorCore::SearchNetwork() {
    if (NetworkSearchTimer->isActive()) return false;
    emit Busy(true);
    FoundCount = 0;
    UnregisteredCount = 0;
    for (auto& device : devices_) device->SeenInSearch = false;
    BroadcastDiscovery();
    PollAll();
    NetworkSearchTimer->setInterval(2000);
    NetworkSearchTimer->start();
    return true;
}

void CMonitorCore::NetworkSearchTimerTimer() {
    NetworkSearchTimer->stop();
    // The devices that answered this search are registered before it is reported.
    CloseDiscoveryRound();
    bool changed = false;
    for (auto& device : devices_) {
        if (device->SeenInSearch || device->ConnState != Connected) continue;
        device->ConnState = Connecting;
        if (device->AvloEnabled && device->Connection) device->Connection->Reconnect();
        LogConnectionLost(*device);
        changed = true;
    }
    if (changed) RefreshDeviceRows();

    const std::int32_t total = FoundCount + UnregisteredCount;
    QString text;
    if (total <= 0) {
        text = QStringLiteral("No Velkan devices have been found on the local network.");
    } else if (total == 1) {
        text = QStringLiteral("1 Velkan device has been found on the local network.");
    } else {
        text = QString::number(total) +
               QStringLiteral(" Velkan devices have been found on the local network.");
    }
    if (UnregisteredCount != 0) {
        text += QStringLiteral(
            "\r\n\rWARNING: the 'Registered Velkan Devices' list can accommodate only 50 "
            "devices.\r\n");
        text += QString::number(UnregisteredCount) + QStringLiteral(" ");
        text += UnregisteredCount == 1
                    ? QStringLiteral("newly found device has not been registered.")
                    : QStringLiteral("newly found devices have not been registered.");
    }
    emit SearchResult(text);
    emit Busy(false);
}
