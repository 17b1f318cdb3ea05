// What the alert policy keeps across a restart, in the settings file's section "Alerts": each
// device's mute, and the marks of the day (the fault items and the outage already alerted,
// and the problems whose recovery notice is still due) with the day they belong to. Marks of
// another day are not read: the first poll of a new day would have cleared them.
#include <charconv>
#include <cstdio>

#include "monitoring/MonitorCore.h"
#include "platform/IniFile.h"

namespace {

constexpr const char* AlertsSection = "Alerts";
// The mute that lasts until somebody ends it.
constexpr const char* Indefinitely = "unmuted";

std::string Key(const char* word, int n) {
    return std::string(word) + " device " + std::to_string(n);
}

// A number of the file; 0 for anything else (a negative number too).
template <typename T>
T ReadNumber(const CIniFile& ini, const std::string& key, int base = 10) {
    const std::string text = ini.ReadString(AlertsSection, key, "");
    T value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return 0;
    return value;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

}  // namespace

std::string CMonitorCore::MarksDay() const {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", ReferenceDate.year, ReferenceDate.month,
                  ReferenceDate.day);
    return text;
}

void CMonitorCore::ReadAlertMarks(const CIniFile& ini, int n, Device& device, bool sameDay) {
    if (ini.ReadString(AlertsSection, Key("Muted", n), "") == Indefinitely) {
        device.MutedUntil = MutedIndefinitely;
    } else {
        device.MutedUntil = ReadNumber<std::int64_t>(ini, Key("Muted", n));
    }
    if (!sameDay) return;
    MarkItems(device.Notified, ReadNumber<std::uint32_t>(ini, Key("Notified", n), 16));
    device.AlertedFaults = ReadNumber<std::uint32_t>(ini, Key("Alerted", n), 16);
    device.AlertedSince =
        device.AlertedFaults != 0 ? ReadNumber<std::int64_t>(ini, Key("AlertedSince", n)) : 0;
    device.UnreachableSince = ReadNumber<std::int64_t>(ini, Key("Unreachable", n));
    device.UnreachableAlerted = device.UnreachableSince != 0;
    device.UnreachableNotified = ini.ReadBool(AlertsSection, Key("UnreachableNotified", n), false);
}

// Only what differs from a device without marks, so a site that never alerted has no such
// section; the day goes with them when any device has one.
void CMonitorCore::WriteAlertMarks(CIniFile& ini) const {
    bool dayWritten = false;
    const auto write = [&](const std::string& key, const std::string& value) {
        if (!dayWritten) ini.WriteString(AlertsSection, "Day", MarksDay());
        dayWritten = true;
        ini.WriteString(AlertsSection, key, value);
    };
    for (int n = 0; n < DeviceCount(); ++n) {
        const Device& device = *devices_[static_cast<std::size_t>(n)];
        if (device.MutedUntil == MutedIndefinitely) {
            write(Key("Muted", n), Indefinitely);
        } else if (device.MutedUntil != 0) {
            write(Key("Muted", n), std::to_string(device.MutedUntil));
        }
        if (const std::uint32_t marked = MarkedItems(device.Notified))
            write(Key("Notified", n), Hex(marked));
        if (device.AlertedFaults != 0) {
            write(Key("Alerted", n), Hex(device.AlertedFaults));
            write(Key("AlertedSince", n), std::to_string(device.AlertedSince));
        }
        if (device.UnreachableAlerted)
            write(Key("Unreachable", n), std::to_string(device.UnreachableSince));
        if (device.UnreachableNotified) write(Key("UnreachableNotified", n), "1");
    }
}
