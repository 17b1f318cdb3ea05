// Status replies: bringing the device record up to date, counting fault onsets, logging the
// fault report and taking the alert decision; the condition text of the device list.
#include "monitoring/MonitorCore.h"

namespace {

// A fault item is one flag position of a status: a class and a channel, or one supply rail.
// Items are numbered as their counters in Stats, which also gives each its bit in the masks
// that alerts carry.
struct ChannelClass {
    std::uint8_t (DeviceStatus::*flags)[7];
    int statsBase;
    bool NotifiableEvents_Type::*option;
};

const ChannelClass kChannelClasses[] = {
    {&DeviceStatus::ChannelOk, StatsChanErr, &NotifiableEvents_Type::ChanErr},
    {&DeviceStatus::TempOk, StatsTempErr, &NotifiableEvents_Type::TempErr},
    {&DeviceStatus::FanOk, StatsFanErr, &NotifiableEvents_Type::FanErr},
    {&DeviceStatus::CurrentOk, StatsCurrentErr, &NotifiableEvents_Type::OvcErr},
};

const ChannelClass* ClassOf(int item) {
    for (const ChannelClass& cls : kChannelClasses) {
        if (item >= cls.statsBase && item < cls.statsBase + 7) return &cls;
    }
    return nullptr;  // a supply rail
}

// The flag of an item in a status or in a Notified block (const or not).
template <typename Status>
auto& Flag(Status& s, int item) {
    const ChannelClass* cls = ClassOf(item);
    return cls ? (s.*cls->flags)[item - cls->statsBase] : s.SupplyOk[item - StatsMinus5VErr];
}

bool Selected(const NotifiableEvents_Type& events, int item) {
    const ChannelClass* cls = ClassOf(item);
    return cls ? events.*cls->option : events.PSupplyErr;
}

constexpr std::uint32_t Bit(int item) {
    return std::uint32_t{1} << item;
}
static_assert(StatsCount <= 32, "one bit per fault item");

}  // namespace

void CMonitorCore::HandleStatusMessage(std::uint16_t deviceId) {
    char message[CData::StatusBytes];
    const int len = store_->GetStatusMessage(deviceId, message, sizeof message);
    if (len < 0) return;
    DeviceStatus status;
    std::uint8_t modelCode = 0;
    std::string serial;
    if (!codec_->ParseStatus(message, len, status, modelCode, serial)) return;
    ApplyStatus(deviceId, status, serial, modelCode);
    NoteStatusArrived(deviceId);
    if (pollRound_.StatusArrived(deviceId, std::chrono::steady_clock::now(),
                                 counters_.PollDuration)) {
        emit SiteCountersChanged();
    }
    RefreshDeviceRows();
    emit DeviceReportHandled(deviceId);
}

void CMonitorCore::ApplyStatus(std::uint16_t deviceId, const DeviceStatus& status,
                               const std::string& serial, std::uint8_t modelCode) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    device->ModelCode = modelCode;
    device->Serial = serial;
    if (!codec_->EvaluateCondition(status)) DetectEvents(*device, status);
    device->Status = status;
    device->StatusKnown = true;
}

void CMonitorCore::DetectEvents(Device& device, const DeviceStatus& status) {
    LogDeviceAlert(device, status);

    // An item whose alert is still on its way wants no second mail and, in "nolimit" mode,
    // its onset sends none: the result of that alert decides whether it is marked. A new
    // fault of the same device is not held up by it.
    const std::uint32_t inFlight = AlertsInFlight(device.DeviceId);
    const DeviceStatus& previous = device.Status;
    bool want = false;
    bool onset = false;
    std::uint32_t faults = 0;
    for (int item = 0; item < StatsCount; ++item) {
        if (Flag(status, item) != 0) continue;
        faults |= Bit(item);
        const bool underWay = (inFlight & Bit(item)) != 0;
        if (!underWay && Flag(device.Notified, item) == 0 && Selected(NotifiableEvents, item)) {
            want = true;
        }
        if (Flag(previous, item) != 0) {
            ++device.Stats[item];
            if (!underWay) onset = true;
        }
    }

    const bool decision = (LimitOn() || !device.StatusKnown) ? want : onset;
    if (!decision || !EmailSettings.Enabled) return;
    const NotifiableEvents_Type& ev = NotifiableEvents;
    if (!ev.ChanErr && !ev.PSupplyErr && !ev.FanErr && !ev.TempErr && !ev.OvcErr) return;
    // Every fault present goes with the alert, whether or not its class is selected.
    SendDeviceAlert(device, status, faults);
}

void CMonitorCore::AlertResult(std::uint16_t deviceId, std::uint32_t faults, bool delivered) {
    ++(delivered ? counters_.AlertEmailsDelivered : counters_.AlertEmailsFailed);
    emit SiteCountersChanged();
    // A failed alert marks nothing, so the next faulty status tries again; for a device
    // deleted meanwhile the log holds the outcome and nothing is left to mark.
    if (!delivered) return;
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    for (int item = 0; item < StatsCount; ++item) {
        if ((faults & Bit(item)) != 0) Flag(device->Notified, item) = 1;
    }
}

void CMonitorCore::ConditionText(std::uint16_t deviceId) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    if (!device->StatusKnown || device->ConnState != Connected) {
        device->Condition = "Unknown";
        return;
    }
    std::uint8_t faults[FaultFlagCount];
    if (codec_->EvaluateCondition(device->Status, faults)) {
        device->Condition = "OK";
        return;
    }
    static const char* const kWords[] = {"Channel Failure", "High Temperature", "Fan Failure",
                                         "Over-current"};
    std::string text;
    const auto add = [&text](const char* word) {
        if (!text.empty()) text += ", ";
        text += word;
    };
    for (int i = 0; i < 4; ++i) {
        if (faults[i]) add(kWords[i]);
    }
    if (faults[FaultMinus5V] || faults[FaultPlus12V] || faults[FaultPlus72VA] ||
        faults[FaultPlus72VB]) {
        add("Power Supply Failure");
    }
    device->Condition = text;
}

std::string CMonitorCore::NewDeviceName(std::uint8_t modelCode) const {
    return UniqueName(std::string("My Velkan ") + codec_->ModelName(modelCode));
}
