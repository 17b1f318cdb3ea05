#include "web/DevicesJson.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

namespace {

const char* const kRailKeys[SupplyRailCount] = {"-5V", "+12V", "+72V_A", "+72V_B"};

QJsonValue Moment(std::int64_t secondsSince1970) {
    if (secondsSince1970 == 0) return QJsonValue::Null;
    return QDateTime::fromSecsSinceEpoch(secondsSince1970, Qt::UTC).toString(Qt::ISODate);
}

QString Connection(std::uint8_t state) {
    switch (state) {
        case Connected:
            return QStringLiteral("connected");
        case Connecting:
            return QStringLiteral("connecting");
        default:
            return QStringLiteral("disconnected");
    }
}

QJsonArray Channels(const DeviceSnapshot& d) {
    QJsonArray channels;
    for (const ChannelSnapshot& c : d.Channels) {
        channels.append(QJsonObject{{"channel", c.Number},
                                    {"on", c.On},
                                    {"faults", QJsonObject{{"channel", c.ChannelFault},
                                                           {"temperature", c.TemperatureFault},
                                                           {"fan", c.FanFault},
                                                           {"current", c.CurrentFault}}}});
    }
    return channels;
}

QJsonObject SupplyFaults(const DeviceSnapshot& d) {
    QJsonObject rails;
    for (int r = 0; r < SupplyRailCount; ++r) rails.insert(kRailKeys[r], d.SupplyFault[r]);
    return rails;
}

// The 32 counters as the properties dialog groups them: seven per channel class, one per rail.
QJsonObject Statistics(const DeviceSnapshot& d) {
    const auto seven = [&d](int first) {
        QJsonArray counts;
        for (int i = first; i < first + 7; ++i) counts.append(d.Stats[i]);
        return counts;
    };
    QJsonObject rails;
    for (int r = 0; r < SupplyRailCount; ++r)
        rails.insert(kRailKeys[r], d.Stats[StatsMinus5VErr + r]);
    return QJsonObject{{"since", Moment(d.StatsSince)},      {"channel", seven(StatsChanErr)},
                       {"temperature", seven(StatsTempErr)}, {"fan", seven(StatsFanErr)},
                       {"current", seven(StatsCurrentErr)},  {"supply", rails}};
}

}  // namespace

QJsonObject DeviceJson(const DeviceSnapshot& d) {
    const bool known = d.StatusKnown;
    return QJsonObject{
        {"id", d.Id},
        {"name", QString::fromStdString(d.Name)},
        {"address", QString::fromStdString(d.Address)},
        {"serial", QString::fromStdString(d.Serial)},
        {"model", QString::fromStdString(d.Model)},
        {"monitored", d.Monitored},
        {"connection", Connection(d.ConnState)},
        {"condition", QString::fromStdString(d.Condition)},
        {"statusKnown", known},
        {"mode", known ? QJsonValue(d.Active ? "active" : "standby") : QJsonValue::Null},
        {"channels", known ? QJsonValue(Channels(d)) : QJsonValue::Null},
        {"supplyFaults", known ? QJsonValue(SupplyFaults(d)) : QJsonValue::Null},
        {"operatingMinutes", known ? QJsonValue(d.OperatingMinutes) : QJsonValue::Null},
        {"statistics", Statistics(d)},
        {"lastStatus", Moment(d.StatusTime)},
        {"muted", d.Muted},
        {"mutedUntil",
         d.MutedUntil == CMonitorCore::MutedIndefinitely ? QJsonValue::Null : Moment(d.MutedUntil)},
    };
}

QByteArray DevicesJson(const SiteSnapshot& site) {
    QJsonArray devices;
    for (const DeviceSnapshot& d : site.Devices) devices.append(DeviceJson(d));
    return QJsonDocument(QJsonObject{{"devices", devices}}).toJson(QJsonDocument::Compact);
}

std::optional<QByteArray> DeviceJsonById(const SiteSnapshot& site, std::uint16_t id) {
    for (const DeviceSnapshot& d : site.Devices) {
        if (d.Id == id) return QJsonDocument(DeviceJson(d)).toJson(QJsonDocument::Compact);
    }
    return std::nullopt;
}
