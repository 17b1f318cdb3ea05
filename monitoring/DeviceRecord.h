#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "comms/TcpCommsThread.h"
#include "protocol/DeviceStatus.h"
#include "protocol/Mca.h"

// The failure counters of a device, in the order the configuration file and the properties
// dialog use: ChanErr[7], TempErr[7], FanErr[7], CurrentErr[7], then the four supply rails.
enum StatsIndex : int {
    StatsChanErr = 0,
    StatsTempErr = 7,
    StatsFanErr = 14,
    StatsCurrentErr = 21,
    StatsMinus5VErr = 28,
    StatsPlus12VErr = 29,
    StatsPlus72VAErr = 30,
    StatsPlus72VBErr = 31,
    StatsCount = 32,
};

// Connection state of a device, as the device list shows it.
enum ConnState : std::uint8_t { Disconnected = 0, Connecting = 1, Connected = 2 };

struct CMca::DeviceDescr_Type {
    std::int32_t ListIndex = 0;
    std::uint16_t DeviceId = 0;
    std::string Name;
    std::string IpAddress;
    bool AvloEnabled = false;
    std::uint8_t ConnState = Disconnected;
    bool StatusKnown = false;
    bool SeenInSearch = false;
    std::uint8_t ModelCode = 0;
    std::string Serial;
    DeviceStatus Status;
    DeviceStatus Notified;
    std::int32_t Stats[StatsCount] = {};
    // Moments in seconds since 1970 (UTC). StatusTime: when Status arrived (0: never).
    // StatsSince: since when Stats count; when StatsSinceKnown is false, counting began before
    // it, at a moment nobody kept (a file from before the moment was kept).
    std::int64_t StatusTime = 0;
    std::int64_t StatsSince = 0;
    bool StatsSinceKnown = false;
    std::unique_ptr<TTcpCommsThread> Connection;  // null while AvloEnabled is false
    // Connected on a link whose connection was not logged (one more of a series of
    // short-lived links), so its loss is not logged either.
    bool LinkInSeries = false;
    // The queues (CMonitorCore::RefusingQueue bits) whose refusal has been logged and that
    // have not accepted a request since.
    std::uint8_t RefusalsLogged = 0;
    std::string Condition = "Unknown";
    // Alerts of the device are muted until this moment (seconds since 1970, UTC); 0: not
    // muted; CMonitorCore::MutedIndefinitely: until somebody unmutes it.
    std::int64_t MutedUntil = 0;
    // Statuses in a row in which each fault item was present (up to 255): an item is alerted
    // once it has been seen in as many as the notifiable events' Confirm asks for.
    std::uint8_t FaultRun[StatsCount] = {};
    // Fault items that an alert reported and that have not all cleared since, and since when
    // (seconds since 1970, UTC): their recovery notice is due when the device is back to OK.
    std::uint32_t AlertedFaults = 0;
    std::int64_t AlertedSince = 0;
    // Fault items the routes beside e-mail have been told of and that have not cleared since
    // (nor a day passed): an alert e-mail tried again after a failure does not tell them again.
    std::uint32_t RoutedFaults = 0;
    // Since when the device is watched for silence (0: not monitored), and since when it has
    // been silent for the hold time (0: not in an outage). UnreachableAlerted: this outage was
    // alerted; UnreachableNotified: the device's outage was alerted today (limit mode's mark).
    std::int64_t WatchedSince = 0;
    std::int64_t UnreachableSince = 0;
    bool UnreachableAlerted = false;
    bool UnreachableNotified = false;
};

// How a device is described to the device table: by the register dialog, the configuration
// load, the network search and the list's check boxes.
struct DeviceContext {
    std::string Name;
    std::string IpAddress;
    std::uint8_t ModelCode = 0;
    std::string Serial;
    bool AvloEnabled = false;
    bool RegisterMode = false;  // true when registering a new device, false when editing
};
