#pragma once

// What GET /api/stream carries, taken from the monitor as it happens: an event "device" when
// what a client shows of a device changed (its row, its status), one "event" per history
// event. Lives on the monitor's thread and only formats and queues: the hub never waits.
#include <QJsonObject>
#include <QObject>
#include <cstdint>
#include <functional>
#include <map>

#include "monitoring/MonitorCore.h"
#include "web/EventStream.h"

class CEventStreamFeed : public QObject {
    Q_OBJECT

public:
    // What a client is told of a device; the feed sends it again only when it differs from
    // what it sent last, since the core tells of every row after each status. Fields that
    // move with every status (HeartbeatKey) are not a change by themselves: a client needs
    // changes, not heartbeats, and a quiet stream keeps its comment lines to show it is alive.
    using DeviceJsonFn = std::function<QJsonObject(const CMonitorCore::Device&)>;
    static constexpr const char* HeartbeatKey = "lastStatus";

    // Follows the core's signals from now on; the hub outlives the feed.
    CEventStreamFeed(CMonitorCore& core, CEventStream& hub, DeviceJsonFn deviceJson = RowJson,
                     QObject* parent = nullptr);

    // The row as the list shows it, and the mode: {"id", "name", "address", "connection",
    // "condition", "monitored", "statusKnown", "active" (null while the status is unknown)}.
    static QJsonObject RowJson(const CMonitorCore::Device& device);

private:
    void DeviceChanged(std::uint16_t deviceId);
    void DevicesRemoved();
    void HistoryEvent(const EventRecord& record);

    CMonitorCore& core_;
    CEventStream& hub_;
    const DeviceJsonFn deviceJson_;
    std::map<std::uint16_t, QJsonObject> sent_;  // by device id, without the heartbeat
};
