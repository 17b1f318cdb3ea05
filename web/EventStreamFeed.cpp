#include "web/EventStreamFeed.h"

#include <QStringList>
#include <set>

#include "web/EventJson.h"

CEventStreamFeed::CEventStreamFeed(CMonitorCore& core, CEventStream& hub, DeviceJsonFn deviceJson,
                                   QObject* parent)
    : QObject(parent), core_(core), hub_(hub), deviceJson_(std::move(deviceJson)) {
    connect(&core, &CMonitorCore::DeviceRowChanged, this, &CEventStreamFeed::DeviceChanged);
    connect(&core, &CMonitorCore::DeviceReportHandled, this, &CEventStreamFeed::DeviceChanged);
    connect(&core, &CMonitorCore::DeviceRemoved, this, &CEventStreamFeed::DevicesRemoved);
    connect(&core, &CMonitorCore::EventRecorded, this, &CEventStreamFeed::HistoryEvent);
}

QJsonObject CEventStreamFeed::RowJson(const CMonitorCore::Device& device) {
    const QStringList row = CMonitorCore::RowTexts(device);
    QJsonObject json{{"id", device.DeviceId},
                     {"name", row.value(0)},
                     {"address", row.value(1)},
                     {"connection", row.value(2)},
                     {"condition", row.value(3)},
                     {"monitored", device.AvloEnabled},
                     {"statusKnown", device.StatusKnown}};
    json.insert("active", device.StatusKnown ? QJsonValue(device.Status.Mode == 1)
                                             : QJsonValue(QJsonValue::Null));
    return json;
}

void CEventStreamFeed::DeviceChanged(std::uint16_t deviceId) {
    const CMonitorCore::Device* device = core_.FindDeviceById(deviceId);
    if (device == nullptr) return;
    const QJsonObject json = deviceJson_(*device);
    QJsonObject change = json;
    change.remove(HeartbeatKey);
    QJsonObject& sent = sent_[deviceId];
    if (change == sent) return;
    sent = std::move(change);
    hub_.Publish("device", json);
}

void CEventStreamFeed::DevicesRemoved() {
    // The signal names a row, which is gone already: the ids still here tell which it was.
    std::set<std::uint16_t> present;
    for (const auto& device : core_.Devices()) present.insert(device->DeviceId);
    for (auto it = sent_.begin(); it != sent_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        hub_.Publish("device", QJsonObject{{"id", it->first}, {"removed", true}});
        it = sent_.erase(it);
    }
}

void CEventStreamFeed::HistoryEvent(const EventRecord& record) {
    hub_.Publish("event", EventJson(record));
}
