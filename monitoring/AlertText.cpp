// The fault report of a device: the alert subject line and the EV_DEVICE_ALERT log entry.
#include "monitoring/MonitorCore.h"
#include "platform/PrintableText.h"

std::string CMonitorCore::SubjectStart(const char* kind, const Device& device) const {
    return std::string("AVLO ") + kind + " [" + codec_->ModelName(device.ModelCode) + ", # " +
           PrintableText(device.Serial) + "]: ";
}

std::string CMonitorCore::AlertSubject(const Device& device, const DeviceStatus& status) const {
    std::string subject = SubjectStart("Alert", device);
    std::uint8_t faults[FaultFlagCount];
    codec_->EvaluateCondition(status, faults);
    bool first = true;
    const auto add = [&](const char* word) {
        if (!first) subject += ", ";
        subject += word;
        first = false;
    };
    if (faults[FaultChannel]) add("CHANNEL FAILURE");
    if (faults[FaultTemperature]) add("HIGH TEMPERATURE");
    if (faults[FaultFan]) add("FAN FAILURE");
    if (faults[FaultCurrent]) add("OVER-CURRENT");
    if (faults[FaultMinus5V] || faults[FaultPlus12V] || faults[FaultPlus72VA] ||
        faults[FaultPlus72VB]) {
        add("POWER SUPPLY FAILURE");
    }
    return subject;
}

void CMonitorCore::LogDeviceAlert(const Device& device, const DeviceStatus& status) {
    if (!Options.Log) return;
    char message[CData::StatusBytes];
    const int len = store_->GetStatusMessage(device.DeviceId, message, sizeof message);
    const std::string raw =
        len > 0 ? std::string(message, static_cast<std::size_t>(len)) : std::string();
    eventLog_->WriteEvent(EV_DEVICE_ALERT, EVENTLOG_ERROR_TYPE,
                          AlertSubject(device, status) + "\r\n\nMessage: " + raw,
                          HistoryDevice(device));
}
