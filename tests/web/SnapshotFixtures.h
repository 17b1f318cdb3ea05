#pragma once

// Devices in the states a snapshot can show, made by hand.
#include "web/SiteSnapshot.h"

// A two-channel amplifier that answers: channel 2 off with a fan fault, the +12 V rail out.
inline DeviceSnapshot Faulty() {
    DeviceSnapshot d;
    d.Id = 7;
    d.Name = "Amp A";
    d.Address = "127.0.0.2";
    d.Serial = "00001234";
    d.ModelCode = ModelRV10;
    d.Model = "RV10";
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
    DeviceSnapshot d;
    d.Id = 8;
    d.Name = "Amp B";
    d.Address = "127.0.0.3";
    d.Model = "Unknown";
    d.Monitored = false;
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
