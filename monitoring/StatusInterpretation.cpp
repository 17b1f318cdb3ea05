// Status replies: bringing the device record up to date, counting fault onsets, logging the
// fault report and taking the alert decision; the condition text of the device list.
#include <algorithm>

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
    if (!codec_->EvaluateCondition(status)) {
        DetectEvents(*device, status);
    } else {
        std::fill(std::begin(device->FaultRun), std::end(device->FaultRun), 0);
        device->RoutedFaults = 0;
    }
    device->Status = status;
    device->StatusKnown = true;
    NoticeIfRecovered(*device);
}

std::uint32_t CMonitorCore::FaultItems(const DeviceStatus& status) {
    std::uint32_t items = 0;
    for (int item = 0; item < StatsCount; ++item) {
        if (Flag(status, item) == 0) items |= Bit(item);
    }
    return items;
}

std::uint32_t CMonitorCore::MarkedItems(const DeviceStatus& notified) {
    std::uint32_t items = 0;
    for (int item = 0; item < StatsCount; ++item) {
        if (Flag(notified, item) != 0) items |= Bit(item);
    }
    return items;
}

void CMonitorCore::MarkItems(DeviceStatus& notified, std::uint32_t items) {
    for (int item = 0; item < StatsCount; ++item) {
        if ((items & Bit(item)) != 0) Flag(notified, item) = 1;
    }
}

// Counts each item's statuses in a row (the previous status is still the device's) and its
// onsets; the items seen in Confirm statuses in a row are confirmed.
std::uint32_t CMonitorCore::ConfirmedFaults(Device& device, const DeviceStatus& status) const {
    const int confirm = std::clamp(NotifiableEvents.Confirm, 1, MaxConfirm);
    std::uint32_t confirmed = 0;
    for (int item = 0; item < StatsCount; ++item) {
        std::uint8_t& run = device.FaultRun[item];
        if (Flag(status, item) != 0) {
            run = 0;
            device.RoutedFaults &= ~Bit(item);
            continue;
        }
        if (run < 255) ++run;
        if (run >= confirm) confirmed |= Bit(item);
    }
    return confirmed;
}

// Limit mode (or the first status of a connection): an item that is confirmed, selected, not
// yet marked and not on its way. Otherwise: an item that became due with this status.
bool CMonitorCore::AlertWanted(const Device& device, std::uint32_t confirmed, bool onset) const {
    if (!LimitOn() && device.StatusKnown) return onset;
    const std::uint32_t open = confirmed & ~AlertsInFlight(device.DeviceId);
    for (int item = 0; item < StatsCount; ++item) {
        if ((open & Bit(item)) != 0 && Flag(device.Notified, item) == 0 &&
            Selected(NotifiableEvents, item))
            return true;
    }
    return false;
}

void CMonitorCore::DetectEvents(Device& device, const DeviceStatus& status) {
    LogDeviceAlert(device, status);

    // An item whose alert is still on its way wants no second alert and, in "nolimit" mode,
    // its onset sends none: the result of that alert decides whether it is marked. A new
    // fault of the same device is not held up by it.
    const std::uint32_t inFlight = AlertsInFlight(device.DeviceId);
    const int confirm = std::clamp(NotifiableEvents.Confirm, 1, MaxConfirm);
    const std::uint32_t confirmed = ConfirmedFaults(device, status);
    bool onset = false;
    for (int item = 0; item < StatsCount; ++item) {
        if (Flag(status, item) != 0) continue;
        const bool fresh = Flag(device.Status, item) != 0;
        if (fresh) ++device.Stats[item];
        // The onset that alerts is the status that confirms the item.
        const bool due = confirm == 1 ? fresh : device.FaultRun[item] == confirm;
        if (due && (inFlight & Bit(item)) == 0) onset = true;
    }
    if (!AlertWanted(device, confirmed, onset) || !AnyFaultOption()) return;
    // Every confirmed fault goes with the alert, whether or not its class is selected.
    AlertFaults(device, status, confirmed);
}

bool CMonitorCore::AnyFaultOption() const {
    const NotifiableEvents_Type& ev = NotifiableEvents;
    return ev.ChanErr || ev.PSupplyErr || ev.FanErr || ev.TempErr || ev.OvcErr;
}

void CMonitorCore::AlertFaults(Device& device, const DeviceStatus& status, std::uint32_t faults) {
    RaiseAlert(device, FaultAlert(device, status), faults, &status);
}

// After a mute: the confirmed faults of the last status, once, as a first status would
// decide them (in "nolimit" mode too, where only onsets alert otherwise).
void CMonitorCore::AlertStandingProblems(Device& device) {
    if (!device.StatusKnown || !AnyFaultOption()) return;
    const int confirm = std::clamp(NotifiableEvents.Confirm, 1, MaxConfirm);
    std::uint32_t confirmed = 0;
    for (int item = 0; item < StatsCount; ++item) {
        if (Flag(device.Status, item) == 0 && device.FaultRun[item] >= confirm)
            confirmed |= Bit(item);
    }
    if (confirmed == 0) return;
    if (LimitOn() && !AlertWanted(device, confirmed, false)) return;
    AlertFaults(device, device.Status, confirmed);
}

void CMonitorCore::AlertResult(std::uint16_t deviceId, std::uint32_t faults, bool delivered) {
    ++(delivered ? counters_.AlertEmailsDelivered : counters_.AlertEmailsFailed);
    emit SiteCountersChanged();
    // A failed alert marks nothing, so the next faulty status tries again; for a device
    // deleted meanwhile the log holds the outcome and nothing is left to mark.
    if (!delivered) return;
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    MarkItems(device->Notified, faults);
    if (faults != 0 && device->AlertedFaults == 0) device->AlertedSince = WallSeconds();
    device->AlertedFaults |= faults;
}

void CMonitorCore::ConditionText(std::uint16_t deviceId) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    if (!device->StatusKnown || device->ConnState != Connected) {
        device->Condition = "Unknown";
        return;
    }
    device->Condition = StatusWords(device->Status);
}

std::string CMonitorCore::StatusWords(const DeviceStatus& status) const {
    std::uint8_t faults[FaultFlagCount];
    if (codec_->EvaluateCondition(status, faults)) return "OK";
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
    return text;
}

std::string CMonitorCore::NewDeviceName(std::uint8_t modelCode) const {
    return UniqueName(std::string("My Velkan ") + codec_->ModelName(modelCode));
}
