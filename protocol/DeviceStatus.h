#pragma once

#include <cstdint>

// Everything a device reports about its health, as parsed from one status message.
// Index 0 of every 7-entry array is channel 1. Flags hold 0 or 1. An all-zero record
// reads as Standby with every fault present.
struct DeviceStatus {
    std::uint8_t Mode = 0;             // 1 = Active, 0 = Standby
    std::uint8_t SupplyOk[4] = {};     // -5 V, +12 V, +72 V (A), +72 V (B)
    std::uint8_t ChannelOn[7] = {};
    std::uint8_t ChannelOk[7] = {};
    std::uint8_t TempOk[7] = {};
    std::uint8_t FanOk[7] = {};
    std::uint8_t CurrentOk[7] = {};
    std::int32_t OperatingMinutes = 0;

    friend bool operator==(const DeviceStatus&, const DeviceStatus&) = default;
};

// Model codes, as carried by "00" to "03" after M in a device message.
enum ModelCode : std::uint8_t {
    ModelUnknown = 0,
    ModelRV10 = 1,
    ModelRV11 = 2,
    ModelRV12 = 3,
    ModelRV13 = 4,
};

// Output channels of a model; 0 for a code that names no model.
int ModelChannelCount(std::uint8_t modelCode);

// The fault summary: index 0 channel failure, 1 high temperature, 2 fan failure,
// 3 over-current, 4 to 7 the -5 V, +12 V, +72 V (A) and +72 V (B) supply rails.
constexpr int FaultFlagCount = 8;
enum FaultFlag : int {
    FaultChannel = 0,
    FaultTemperature = 1,
    FaultFan = 2,
    FaultCurrent = 3,
    FaultMinus5V = 4,
    FaultPlus12V = 5,
    FaultPlus72VA = 6,
    FaultPlus72VB = 7,
};
