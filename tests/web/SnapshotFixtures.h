#pragma once

// Devices in the states a snapshot can show, made by hand.
#include "web/SiteSnapshot.h"

inline DeviceSnapshot Registered(std::uint16_t id, const char* name, const char* address,
                                 const char* model) {
    DeviceSnapshot d;
    d.Id = id;
    d.Name = name;
    d.Address = address;
    d.Model = model;
    return d;
}

// A two-channel amplifier that answers: channel 2 off with a fan fault, the +12 V rail out.
inline DeviceSnapshot Faulty() {
    DeviceSnapshot d = Registered(7, "Amp A", "127.0.0.2", "RV10");
    d.Serial = "00001234";
    d.ModelCode = ModelRV10;
    d.Monitored = true;
    d.ConnState = Connected;
    d.StatusKnown = d.HeardOf = true;
    d.StatusTime = 1765444615;
    d.Active = true;
    d.Channels = {{1, true, false, false, false, false}, {2, false, false, false, true, false}};
    d.SupplyFault = {false, true, false, false};
    d.OperatingMinutes = 90;
    d.Stats[StatsFanErr + 1] = 3;
    d.Stats[StatsFanErr + 6] = 1;  // counted before, on a channel this model lacks
    d.Stats[StatsPlus12VErr] = 2;
    d.Stats[StatsPlus72VBErr] = 5;
    return d;
}

// Registered from the file, never heard of in this run.
inline DeviceSnapshot Unheard() {
    DeviceSnapshot d = Registered(8, "Amp B", "127.0.0.3", "Unknown");
    d.Stats[StatsChanErr] = 4;  // kept in the file, but nothing of this run says so
    return d;
}

// Answered earlier, then the link was lost: no status is current.
inline DeviceSnapshot Lost() {
    DeviceSnapshot d = Faulty();
    d.Id = 9;
    d.Name = "Amp C";
    d.ConnState = Connecting;
    d.StatusKnown = false;
    d.Channels.clear();
    return d;
}
