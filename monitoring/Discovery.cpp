// Discovery replies and the network search: new devices are registered, moved devices get
// their new address, and a search reports how many devices answered.
#include <QTimer>

#include "monitoring/MonitorCore.h"

void CMonitorCore::ProcessDiscoveryReplies() {
    while (store_->ReplyCount() != 0) {
        std::uint8_t addr[4];
        char reply[CData::ReplyBytes];
        const int len = store_->TakeReply(addr, reply, sizeof reply);
        if (len <= 0) break;
        CMca::BcastData_Type found;
        if (!codec_->ParseDiscoveryReply(reply, len, addr, &found)) continue;

        if (IsSerialFree(found.Serial)) {
            if (DeviceCount() >= MaxDevices) {
                ++UnregisteredCount;
                continue;
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
            continue;
        }

        Device* device = FindDeviceBySerial(found.Serial);
        if (device == nullptr) continue;
        device->SeenInSearch = true;
        device->ModelCode = found.ModelCode;
        if (device->IpAddress != found.IpAddress) {
            if (Device* holder = FindDeviceByAddress(found.IpAddress)) {
                // A reply without a serial number names no device for certain: it never
                // takes an address away from a record.
                if (found.Serial.empty()) {
                    ++FoundCount;
                    continue;
                }
                // The known device now answers from an address another record still holds
                // (DHCP moved them): that record's device is no longer there.
                ReleaseAddress(*holder);
            }
            DeviceContext context;
            context.Name = device->Name;
            context.IpAddress = found.IpAddress;
            context.AvloEnabled = device->AvloEnabled;
            UpdateDevice(device->ListIndex, &context, true);
        }
        ++FoundCount;
    }
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
