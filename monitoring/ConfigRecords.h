#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "monitoring/DeviceRecord.h"
#include "monitoring/Settings.h"

// Everything the configuration file holds, as plain records that compare field by field. The
// change check keeps them as they were at the last save: comparing them once a second costs
// some tens of microseconds with 50 devices, where writing out the file's text to compare it
// cost most of a millisecond, and like the text it notices a change whichever code made it.
struct DeviceFileRecord {
    std::string Name;
    std::string IpAddress;
    bool AvloEnabled = false;
    std::uint8_t ModelCode = 0;
    std::string Serial;
    std::array<std::int32_t, StatsCount> Stats{};
    std::int64_t StatsSince = 0;
    bool StatsSinceKnown = false;
    // The mute, and the day's alert bookkeeping (section "Alerts").
    std::int64_t MutedUntil = 0;
    std::uint32_t Notified = 0;
    std::uint32_t AlertedFaults = 0;
    std::int64_t AlertedSince = 0;
    std::int64_t UnreachableSince = 0;
    bool UnreachableAlerted = false;
    bool UnreachableNotified = false;

    bool operator==(const DeviceFileRecord&) const = default;
};

struct ConfigurationRecords {
    NotifiableEvents_Type NotifiableEvents;
    AdvancedEmail_Type AdvancedEmail;
    EmailSettings_Type EmailSettings;
    Options_Type Options;
    TestModeSettings_Type TestModeSettings;
    std::vector<DeviceFileRecord> Devices;
    std::int64_t StatsKeptSince = 0;
    WebSettings_Type WebSettings;
    std::string MarksDay;  // the day the devices' alert marks belong to ("2024-05-01")
    WebhookSettings_Type WebhookSettings;

    bool operator==(const ConfigurationRecords&) const = default;
};
