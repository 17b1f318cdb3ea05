// The main thread's side of device communication: starting and stopping connection threads,
// polling, and turning the threads' reports into device states.
#include <QTimer>
#include <cstdio>

#include "comms/Mymessages.h"
#include "monitoring/MonitorCore.h"

std::string CMonitorCore::RequestText(int kind, std::uint8_t mask) const {
    std::string text = codec_->RequestText(kind);
    if (text.empty() || kind != SetChannels) return text;
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", mask);
    return text + hex + '\n';
}

void CMonitorCore::SendRequest(std::uint16_t deviceId, int kind, std::uint8_t mask) {
    const std::string text = RequestText(kind, mask);
    if (text.empty()) return;
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr || !device->Connection) return;
    if (device->Connection->Send(text.data(), static_cast<int>(text.size()), kind == StatusQuery)) {
        RequestsAccepted(deviceId, ConnectionQueue);
    } else {
        LogRefusedRequests(deviceId, text, ConnectionQueue);
    }
}

// A peer that keeps dropping the link is tried about once per poll at most, whichever way
// the device came into the table (the file, the register dialog, discovery).
std::unique_ptr<TTcpCommsThread> CMonitorCore::MakeConnection(const Device& device) {
    TcpRetryLimits limits;
    limits.longestWaitMs = PollIntervalMs();
    return std::make_unique<TTcpCommsThread>(*store_, devicePortText_,
                                             DecimalAddress(device.IpAddress), this,
                                             device.DeviceId, limits);
}

void CMonitorCore::StartConnection(int listIndex, bool refresh) {
    Device* device = FindDeviceByListIndex(listIndex);
    if (device == nullptr) return;
    if (device->IpAddress.empty()) {
        // Nothing to connect to until discovery finds the device again.
        if (refresh) RefreshDeviceRows();
        return;
    }
    if (device->Connection) {
        device->Connection->Reconnect();
    } else {
        device->Connection = MakeConnection(*device);
        // Watched for silence from its first connection on.
        if (device->WatchedSince == 0) device->WatchedSince = WallSeconds();
    }
    device->ConnState = Connecting;
    if (refresh) RefreshDeviceRows();
}

void CMonitorCore::StopConnection(int listIndex, bool refresh) {
    Device* device = FindDeviceByListIndex(listIndex);
    if (device == nullptr) return;
    if (device->Connection) {
        device->Connection->Stop();
        device->Connection.reset();  // waits for the thread's end, which is at once
    }
    device->ConnState = Disconnected;
    if (refresh) RefreshDeviceRows();
}

void CMonitorCore::PollAll() {
    std::set<std::uint16_t> asked;
    for (const auto& device : devices_) {
        if (!device->Connection) continue;
        if (device->ConnState == Connected) {
            SendRequest(device->DeviceId, StatusQuery);
            asked.insert(device->DeviceId);
        } else if (device->ConnState == Connecting) {
            device->Connection->Reconnect();
        }
    }
    pollRound_.Start(std::move(asked), std::chrono::steady_clock::now(), counters_.PollDuration);
    emit SiteCountersChanged();
}

void CMonitorCore::BroadcastDiscovery() {
    if (!udpThread_) return;
    OpenDiscoveryRound();
    const std::string request = codec_->DiscoveryRequest();
    udpThread_->SendDiscovery(request.data(), static_cast<int>(request.size()));
}

void CMonitorCore::PollTimerTimer() {
    PollTimer->stop();
    BroadcastDiscovery();
    PollAll();
    DailySave();
    PollTimer->start();
}

void CMonitorCore::DailySave() {
    const LocalDateTime now = LocalNow();
    if (now.day == ReferenceDate.day) return;
    ClearNotified();
    ReferenceDate = now;
    SaveConfiguration();
    if (history_ && Options.Log) history_->DailyMaintenance(CEventHistory::NowMicros());
}

void CMonitorCore::LogDeviceEvent(std::uint32_t id, std::uint16_t type, const Device& device) {
    if (Options.Log) {
        eventLog_->WriteEvent(id, type, device.Name + " at " + device.IpAddress,
                              HistoryDevice(device));
    }
}

// Called for a device that was Connected: a link the log called connected is lost; one it
// never named (a short-lived link of a series already logged) goes quietly.
void CMonitorCore::LogConnectionLost(Device& device) {
    if (!device.LinkInSeries) {
        LogDeviceEvent(EV_DEVICE_CONNECTION_LOST, EVENTLOG_WARNING_TYPE, device);
    }
    device.LinkInSeries = false;
}

void CMonitorCore::OnLinkConnected(Device& device, bool inSeries) {
    if (device.ConnState != Connected || device.LinkInSeries) {
        if (!inSeries) LogDeviceEvent(EV_DEVICE_CONNECTED, EVENTLOG_INFORMATION_TYPE, device);
        device.LinkInSeries = inSeries;
    }
    device.ConnState = Connected;
}

void CMonitorCore::OnTcpThreadMessage(std::uint16_t code, std::uint16_t deviceId,
                                      std::uint32_t lParam) {
    if (closing_ || HandleAddressCheck(code, deviceId)) return;
    Device* device = FindDeviceById(deviceId);
    // A record whose address was taken has no connection; what its stopped thread reported
    // before it ended is about the device that now holds that address, not about this one.
    if (device != nullptr && device->IpAddress.empty()) return;
    switch (code) {
        case EvEnded:
            // A device whose thread was replaced (new address, or unticked and ticked again)
            // gets the old thread's end report after the new thread started: that report
            // must not take the new connection away.
            if (device && !(device->Connection && !device->Connection->Ended())) {
                device->Connection.reset();
                device->ConnState = Disconnected;
                device->StatusKnown = false;
            }
            RefreshDeviceRows();
            break;
        case EvError:
        case EvReplyTimeout:
        case EvConnectTimeout:
            if (device) {
                if (device->ConnState == Connected) LogConnectionLost(*device);
                device->ConnState = Connecting;
                device->StatusKnown = false;
            }
            RefreshDeviceRows();
            break;
        case EvReceived:
            HandleStatusMessage(deviceId);
            break;
        case EvConnected:
            if (device) OnLinkConnected(*device, (lParam & TcpLinkInSeries) != 0);
            RefreshDeviceRows();
            if (device) SendRequest(deviceId, StatusQuery);
            break;
        case EvLost:
            if (device) {
                if (device->ConnState == Connected) LogConnectionLost(*device);
                device->ConnState = Disconnected;
                device->StatusKnown = false;
            }
            RefreshDeviceRows();
            break;
        default:
            break;
    }
    emit DeviceReportHandled(deviceId);
}

void CMonitorCore::OnUdpThreadMessage(std::uint16_t code) {
    if (closing_) return;
    switch (code) {
        case EvStarted:
            PollTimerTimer();
            PollTimer->start();
            break;
        case EvEnded:
            udpThread_.reset();
            break;
        case EvReceived:
            ProcessDiscoveryReplies();
            break;
        default:
            break;
    }
}

// The properties dialog's Apply: mode, channels, then a status query to show the outcome,
// paced by a timer so that the window goes on working meanwhile.
void CMonitorCore::OnApplyConfig(std::uint32_t wParam) {
    const auto deviceId = static_cast<std::uint16_t>(wParam & 0xFFFF);
    if (FindDeviceById(deviceId) == nullptr) return;
    const bool active = ((wParam >> 16) & 0xFF) != 0;
    QueueRequests(deviceId, {{deviceId, active ? SetActive : SetStandby, 0},
                             {deviceId, SetChannels, static_cast<std::uint8_t>(wParam >> 24)},
                             {deviceId, StatusQuery, 0}});
}
