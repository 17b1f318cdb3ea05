#pragma once

#include <QObject>
#include <memory>
#include <mutex>

#include "web/SiteSnapshot.h"

// Keeps the latest snapshot of the site for the web service's threads. It lives on the core's
// thread and takes a new snapshot after the core said something changed, once per turn of the
// event loop however many changes came; readers on any thread get the snapshot whole, and
// keep it as long as they hold it, whatever comes after.
class CSnapshotPublisher : public QObject {
    Q_OBJECT

public:
    explicit CSnapshotPublisher(CMonitorCore& core, QObject* parent = nullptr);

    std::shared_ptr<const SiteSnapshot> Latest() const;
    // Takes a snapshot now (the core's thread only).
    void Publish();

private:
    void Schedule();

    CMonitorCore& core_;
    bool scheduled_ = false;
    mutable std::mutex mutex_;
    std::shared_ptr<const SiteSnapshot> latest_;
};
