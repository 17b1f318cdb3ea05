#pragma once

// A plain copy of what the monitor knows about its site, taken on the core's thread and then
// read by any thread: the web service never touches the core's own records.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "monitoring/MonitorCore.h"

// Fault flags are true for a fault; a channel is one the device's model has.
struct ChannelSnapshot {
    int Number = 0;  // 1 for the first channel
    bool On = false;
    bool ChannelFault = false;
    bool TemperatureFault = false;
    bool FanFault = false;
    bool CurrentFault = false;
};

// The supply rails in the device's order: -5 V, +12 V, +72 V (A), +72 V (B).
constexpr int SupplyRailCount = 4;

struct DeviceSnapshot {
    std::uint16_t Id = 0;
    std::string Name;
    std::string Address;
    std::string Serial;
    std::uint8_t ModelCode = 0;
    std::string Model;  // the model's name, "Unknown" for a code that names none
    bool Monitored = false;
    std::uint8_t ConnState = Disconnected;
    std::string ConnectionText;  // the row's words for it: "Connected", "Connecting...", ...
    std::string Condition;       // the row's condition text
    // StatusKnown: the status below is the device's current one. HeardOf: a status arrived at
    // some time in this run (StatusTime is then its moment, in seconds since 1970).
    bool StatusKnown = false;
    bool HeardOf = false;
    std::int64_t StatusTime = 0;
    bool Active = false;
    std::vector<ChannelSnapshot> Channels;
    std::array<bool, SupplyRailCount> SupplyFault{};
    std::int32_t OperatingMinutes = 0;
    std::array<std::int32_t, StatsCount> Stats{};
    std::int64_t StatsSince = 0;  // 0: counting began at a moment nobody kept
    // Alerts muted now, and until when (CMonitorCore::MutedIndefinitely: until unmuted).
    bool Muted = false;
    std::int64_t MutedUntil = 0;
};

struct SiteSnapshot {
    std::vector<DeviceSnapshot> Devices;  // in the list's order
    SiteCounters Counters;
    std::string Version;
};

// Called on the core's thread.
DeviceSnapshot TakeDeviceSnapshot(const CMonitorCore& core, const CMonitorCore::Device& device);
SiteSnapshot TakeSiteSnapshot(const CMonitorCore& core);
