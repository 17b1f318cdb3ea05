#include "web/SiteSnapshot.h"

#include <algorithm>

namespace {

std::vector<ChannelSnapshot> Channels(const CMonitorCore::Device& device) {
    const DeviceStatus& s = device.Status;
    std::vector<ChannelSnapshot> channels;
    const int count = std::min(ModelChannelCount(device.ModelCode), 7);
    for (int i = 0; i < count; ++i) {
        channels.push_back({i + 1, s.ChannelOn[i] != 0, s.ChannelOk[i] == 0, s.TempOk[i] == 0,
                            s.FanOk[i] == 0, s.CurrentOk[i] == 0});
    }
    return channels;
}

}  // namespace

DeviceSnapshot TakeDeviceSnapshot(const CMonitorCore& core, const CMonitorCore::Device& device) {
    static const CMca codec;
    const QStringList row = CMonitorCore::RowTexts(device);
    DeviceSnapshot d;
    d.Id = device.DeviceId;
    d.Name = device.Name;
    d.Address = device.IpAddress;
    d.Serial = device.Serial;
    d.ModelCode = device.ModelCode;
    d.Model = codec.ModelName(device.ModelCode);
    d.Monitored = device.AvloEnabled;
    d.ConnState = device.ConnState;
    d.ConnectionText = row.value(2).toStdString();
    d.Condition = row.value(3).toStdString();
    d.StatusKnown = device.StatusKnown;
    d.HeardOf = device.StatusTime != 0;
    d.StatusTime = device.StatusTime;
    // The rest of a status that is not current would show a device's past as its present.
    if (d.StatusKnown) {
        d.Active = device.Status.Mode != 0;
        d.Channels = Channels(device);
        for (int r = 0; r < SupplyRailCount; ++r) d.SupplyFault[r] = device.Status.SupplyOk[r] == 0;
        d.OperatingMinutes = device.Status.OperatingMinutes;
    }
    std::copy(std::begin(device.Stats), std::end(device.Stats), d.Stats.begin());
    d.StatsSince = device.StatsSinceKnown ? device.StatsSince : 0;
    d.Muted = core.AlertsMuted(device);
    d.MutedUntil = d.Muted ? device.MutedUntil : 0;
    return d;
}

SiteSnapshot TakeSiteSnapshot(const CMonitorCore& core) {
    SiteSnapshot site;
    site.Devices.reserve(core.Devices().size());
    for (const auto& device : core.Devices())
        site.Devices.push_back(TakeDeviceSnapshot(core, *device));
    site.Counters = core.Counters();
    site.Version = AVLO_VERSION;
    return site;
}
