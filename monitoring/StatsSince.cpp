// Since when the failure counters count: a reset starts them afresh, a new device starts
// them at its registration, and the settings file keeps the moment across runs.
#include <QDate>
#include <QDateTime>
#include <QTime>
#include <ctime>

#include "monitoring/MonitorCore.h"
#include "platform/IniFile.h"

namespace {

// A section of its own, after the others: readers of the counters' section take every value
// there for a counter, and older versions of the program simply drop what they do not know.
constexpr const char* SinceSection = "StatsSince";
// The first start that kept the moments: devices of an older file count since before it.
constexpr const char* KeptKey = "Kept";

std::string SinceKey(int n) {
    return "device " + std::to_string(n);
}

// ISO 8601 in UTC ("2024-05-01T12:32:05Z"): readable, and the same after a change of the
// machine's time zone. Made with the C library, not Qt: the last save can run from the
// process's exit handlers (the display gone), when Qt's date and time data may be gone already
// and QDateTime writes an empty text.
std::string MomentText(std::int64_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char text[32] = {};
    if (gmtime_r(&time, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return {};
    return text;
}

// 0 for anything that is not such a moment.
std::int64_t ReadMoment(const CIniFile& ini, const std::string& key) {
    const QDateTime at = QDateTime::fromString(
        QString::fromStdString(ini.ReadString(SinceSection, key, "")), Qt::ISODate);
    return at.isValid() ? at.toSecsSinceEpoch() : 0;
}

}  // namespace

std::int64_t CMonitorCore::WallSeconds() {
    const LocalDateTime t = LocalNow();
    return QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second),
                     Qt::LocalTime)
        .toSecsSinceEpoch();
}

void CMonitorCore::ResetStatistics(std::uint16_t deviceId) {
    if (Device* device = FindDeviceById(deviceId)) ClearStatistics(*device);
}

void CMonitorCore::ClearStatistics(Device& device) {
    // Only the monitor's own counters: the device's operating time is the device's.
    for (std::int32_t& counter : device.Stats) counter = 0;
    device.StatsSince = WallSeconds();
    device.StatsSinceKnown = true;
}

void CMonitorCore::ReadStatsSince(const CIniFile& ini, int n, Device& device) {
    if (statsKeptSince_ == 0) {
        statsKeptSince_ = ReadMoment(ini, KeptKey);
        if (statsKeptSince_ == 0) statsKeptSince_ = WallSeconds();
    }
    const std::int64_t since = ReadMoment(ini, SinceKey(n));
    device.StatsSinceKnown = since != 0;
    device.StatsSince = since != 0 ? since : statsKeptSince_;
}

void CMonitorCore::WriteStatsSince(CIniFile& ini) const {
    if (statsKeptSince_ != 0) ini.WriteString(SinceSection, KeptKey, MomentText(statsKeptSince_));
    for (int n = 0; n < DeviceCount(); ++n) {
        const Device& device = *devices_[static_cast<std::size_t>(n)];
        if (device.StatsSinceKnown)
            ini.WriteString(SinceSection, SinceKey(n), MomentText(device.StatsSince));
    }
}
