// Status replies: bringing the device record up to date, counting fault onsets, logging the
// fault report and taking the alert decision; the condition text of the device list.
#include <QRadioButton>

#include "app/MainUnit.h"

namespace {

// One fault class of a channel: the status flags, the counters and the option that selects it.
struct ChannelClass {
    std::uint8_t (DeviceStatus::*flags)[7];
    int statsBase;
    bool TMainForm::NotifiableEvents_Type::*option;
};

const ChannelClass kChannelClasses[] = {
    {&DeviceStatus::ChannelOk, StatsChanErr, &TMainForm::NotifiableEvents_Type::ChanErr},
    {&DeviceStatus::FanOk, StatsFanErr, &TMainForm::NotifiableEvents_Type::FanErr},
    {&DeviceStatus::TempOk, StatsTempErr, &TMainForm::NotifiableEvents_Type::TempErr},
    {&DeviceStatus::CurrentOk, StatsCurrentErr, &TMainForm::NotifiableEvents_Type::OvcErr},
};

}  // namespace

void TMainForm::HandleStatusMessage(std::uint16_t deviceId) {
    char message[CData::StatusBytes];
    const int len = store_->GetStatusMessage(deviceId, message, sizeof message);
    if (len < 0) return;
    DeviceStatus status;
    std::uint8_t modelCode = 0;
    std::string serial;
    if (!codec_->ParseStatus(message, len, status, modelCode, serial)) return;
    ApplyStatus(deviceId, status, serial, modelCode);
    RefreshDeviceRows();
    RefreshPropertiesDialog(deviceId);
}

void TMainForm::ApplyStatus(std::uint16_t deviceId, const DeviceStatus& status,
                            const std::string& serial, std::uint8_t modelCode) {
    Device* device = FindDeviceById(deviceId);
    if (device == nullptr) return;
    device->ModelCode = modelCode;
    device->Serial = serial;
    if (!codec_->EvaluateCondition(status)) DetectEvents(*device, status);
    device->Status = status;
    device->StatusKnown = true;
}

void TMainForm::DetectEvents(Device& device, const DeviceStatus& status) {
    LogDeviceAlert(device, status);

    bool want = false;
    bool onset = false;
    const DeviceStatus& previous = device.Status;
    for (int ch = 0; ch < 7; ++ch) {
        for (const ChannelClass& cls : kChannelClasses) {
            if ((status.*cls.flags)[ch] != 0) continue;
            if ((device.Notified.*cls.flags)[ch] == 0 && NotifiableEvents.*cls.option) want = true;
            if ((previous.*cls.flags)[ch] != 0) {
                ++device.Stats[cls.statsBase + ch];
                onset = true;
            }
        }
    }
    for (int rail = 0; rail < 4; ++rail) {
        if (status.SupplyOk[rail] == 0 && device.Notified.SupplyOk[rail] == 0 &&
            NotifiableEvents.PSupplyErr) {
            want = true;
        }
    }
    for (int rail = 0; rail < 4; ++rail) {
        if (status.SupplyOk[rail] == 0 && previous.SupplyOk[rail] != 0) {
            ++device.Stats[StatsMinus5VErr + rail];
            onset = true;
        }
    }

    const bool decision = (LimitOn() || !device.StatusKnown) ? want : onset;
    if (!decision || !EnableEmailRadioBtn->isChecked()) return;
    const NotifiableEvents_Type& ev = NotifiableEvents;
    if (!ev.ChanErr && !ev.PSupplyErr && !ev.FanErr && !ev.TempErr && !ev.OvcErr) return;
    if (!SendDeviceAlert(device, status)) return;

    // Every fault present is marked, whether or not its class is selected.
    for (int ch = 0; ch < 7; ++ch) {
        for (const ChannelClass& cls : kChannelClasses) {
            if ((status.*cls.flags)[ch] == 0) (device.Notified.*cls.flags)[ch] = 1;
        }
    }
    for (int rail = 0; rail < 4; ++rail) {
        if (status.SupplyOk[rail] == 0) device.Notified.SupplyOk[rail] = 1;
    }
}

void TMainForm::ConditionText(std::uint16_t deviceId) {
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
    if (faults[FaultMinus5V] || faults[FaultPlus12V] || faults[FaultPlus72VA] || faults[FaultPlus72VB]) {
        add("Power Supply Failure");
    }
    device->Condition = text;
}

std::string TMainForm::NewDeviceName(std::uint8_t modelCode) const {
    return UniqueName(std::string("My Velkan ") + codec_->ModelName(modelCode));
}
