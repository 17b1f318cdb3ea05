#include "web/SnapshotPublisher.h"

#include <QTimer>

CSnapshotPublisher::CSnapshotPublisher(CMonitorCore& core, QObject* parent)
    : QObject(parent), core_(core) {
    const auto schedule = [this] { Schedule(); };
    connect(&core, &CMonitorCore::DeviceAdded, this, schedule);
    connect(&core, &CMonitorCore::DeviceRowChanged, this, schedule);
    connect(&core, &CMonitorCore::DeviceRemoved, this, schedule);
    connect(&core, &CMonitorCore::DeviceReportHandled, this, schedule);
    connect(&core, &CMonitorCore::SiteCountersChanged, this, schedule);
    Publish();
}

std::shared_ptr<const SiteSnapshot> CSnapshotPublisher::Latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
}

void CSnapshotPublisher::Publish() {
    scheduled_ = false;
    auto snapshot = std::make_shared<const SiteSnapshot>(TakeSiteSnapshot(core_));
    // The one it replaces is freed outside the lock, by whoever lets go of it last.
    std::lock_guard lock(mutex_);
    latest_.swap(snapshot);
}

void CSnapshotPublisher::Schedule() {
    if (scheduled_) return;
    scheduled_ = true;
    QTimer::singleShot(0, this, &CSnapshotPublisher::Publish);
}
